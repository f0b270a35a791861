# Installing as a Debian library: the natives where Debian's OpenJDK looks
# without -Djava.library.path (/usr/lib/<multiarch>/jni is on its default
# library path, /usr/local is not, hence the prefix /usr), the Java classes
# in a versioned jar under share/java, the console in its own jar, and
# instrument-sim under bin. DESTDIR is honoured as usual.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

if(CMAKE_LIBRARY_ARCHITECTURE)
  set(TAVRIX_DEFAULT_JNIDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/jni)
else()
  set(TAVRIX_DEFAULT_JNIDIR ${CMAKE_INSTALL_LIBDIR}/jni)
endif()
set(TAVRIX_INSTALL_JNIDIR ${TAVRIX_DEFAULT_JNIDIR} CACHE PATH
    "Folder of the JNI libraries, below the prefix")
set(TAVRIX_INSTALL_CONSOLEDIR ${CMAKE_INSTALL_DATADIR}/tavrix-natives)

install(TARGETS serialQTV Morvane LIBRARY DESTINATION ${TAVRIX_INSTALL_JNIDIR})
install(TARGETS instrument-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The versioned jar and its unversioned link, beside each other as Debian
# keeps them; the console jar finds the classes through that link.
install_jar(tavrix_java DESTINATION ${CMAKE_INSTALL_DATADIR}/java)
install_jar(tavrix_console DESTINATION ${TAVRIX_INSTALL_CONSOLEDIR})

# The installation as a user meets it: into a temporary DESTDIR, then the
# installed console run from there without -Djava.library.path.
if(BUILD_TESTING)
  add_test(NAME Install.ConsoleRunsFromTheInstalledFiles
           COMMAND ${PROJECT_SOURCE_DIR}/tests/install/install_test.sh
                   ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${TAVRIX_INSTALL_JNIDIR})
  set_tests_properties(Install.ConsoleRunsFromTheInstalledFiles PROPERTIES LABELS install TIMEOUT 120)
endif()
