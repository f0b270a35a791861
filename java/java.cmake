# The Java classes of the two native libraries, the demo console, and the
# JUnit tests that load the real libraries into a real VM with its JNI checks on.
find_package(Java 17 REQUIRED COMPONENTS Runtime Development)
include(UseJava)

set(TAVRIX_JAVA_DIR ${CMAKE_BINARY_DIR}/java)
set(CMAKE_JAVA_COMPILE_FLAGS -encoding UTF-8 -Xlint:all,-try -Werror)

# The classes of the two native libraries, in a versioned jar, and the demo
# console in a jar of its own that finds them through its manifest.
file(GLOB_RECURSE TAVRIX_MAIN_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/src/main/java/*.java)
file(GLOB TAVRIX_CONSOLE_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/src/main/java/com/tavrix/tools/demo/*.java)
list(REMOVE_ITEM TAVRIX_MAIN_SOURCES ${TAVRIX_CONSOLE_SOURCES})
configure_file(manifest/natives.mf.in ${CMAKE_CURRENT_BINARY_DIR}/natives.mf @ONLY)
configure_file(manifest/console.mf.in ${CMAKE_CURRENT_BINARY_DIR}/console.mf @ONLY)
add_jar(tavrix_java
        SOURCES ${TAVRIX_MAIN_SOURCES}
        OUTPUT_NAME tavrix-natives
        VERSION ${PROJECT_VERSION}
        OUTPUT_DIR ${TAVRIX_JAVA_DIR}
        MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/natives.mf)
get_target_property(TAVRIX_MAIN_JAR tavrix_java JAR_FILE)
add_jar(tavrix_console
        SOURCES ${TAVRIX_CONSOLE_SOURCES}
        INCLUDE_JARS tavrix_java
        OUTPUT_NAME tavrix-console
        OUTPUT_DIR ${TAVRIX_JAVA_DIR}
        MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/console.mf)
get_target_property(TAVRIX_CONSOLE_JAR tavrix_console JAR_FILE)

# The native libraries the Java classes load, built with the jar.
set(TAVRIX_NATIVE_TARGETS serialQTV Morvane)
add_dependencies(tavrix_java ${TAVRIX_NATIVE_TARGETS} instrument-sim)

if(NOT BUILD_TESTING)
  return()
endif()

find_file(JUNIT_CONSOLE_JAR junit-platform-console-standalone.jar PATHS /usr/share/java)
if(NOT JUNIT_CONSOLE_JAR)
  message(FATAL_ERROR "The Java tests need the JUnit console launcher "
          "(/usr/share/java/junit-platform-console-standalone.jar): apt-get install junit5, "
          "or make deps. -DBUILD_TESTING=OFF builds the libraries without any test.")
endif()
file(GLOB_RECURSE TAVRIX_TEST_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/src/test/java/*.java)

add_jar(tavrix_java_tests
        SOURCES ${TAVRIX_TEST_SOURCES}
        INCLUDE_JARS tavrix_java ${JUNIT_CONSOLE_JAR}
        OUTPUT_NAME tavrix-natives-tests
        OUTPUT_DIR ${TAVRIX_JAVA_DIR})
get_target_property(TAVRIX_TEST_JAR tavrix_java_tests JAR_FILE)

set(TAVRIX_RUN_JUNIT ${PROJECT_SOURCE_DIR}/tools/run-junit.sh)
# Ports opened by the tests take their lock files here, not in /var/lock.
set(TAVRIX_TEST_LOCK_DIR ${CMAKE_BINARY_DIR}/test-locks)
file(MAKE_DIRECTORY ${TAVRIX_TEST_LOCK_DIR})

# add_junit_test(NAME <name> CLASSES <class>... [ENVIRONMENT VAR=value...])
# One ctest entry running the given test classes in their own VM with
# -Xcheck:jni; the entry fails when a test fails or when the VM reports a
# JNI misuse. Classes are fully qualified. Call it from java/*.cmake.
function(add_junit_test)
  cmake_parse_arguments(PARSE_ARGV 0 JUNIT "" "NAME" "CLASSES;ENVIRONMENT")
  if(NOT JUNIT_NAME OR NOT JUNIT_CLASSES)
    message(FATAL_ERROR "add_junit_test needs NAME and CLASSES")
  endif()
  set(selections)
  foreach(class IN LISTS JUNIT_CLASSES)
    list(APPEND selections --select-class=${class})
  endforeach()
  set(natives)
  foreach(target IN LISTS TAVRIX_NATIVE_TARGETS)
    list(APPEND natives $<TARGET_FILE:${target}>)
  endforeach()
  add_test(NAME ${JUNIT_NAME}
           COMMAND ${TAVRIX_RUN_JUNIT} ${Java_JAVA_EXECUTABLE} -Xcheck:jni
                   -Djava.library.path=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}
                   -jar ${JUNIT_CONSOLE_JAR}
                   --class-path ${TAVRIX_MAIN_JAR}:${TAVRIX_TEST_JAR}
                   ${selections} --details=tree --disable-banner --disable-ansi-colors
                   --fail-if-no-tests
           WORKING_DIRECTORY ${TAVRIX_JAVA_DIR})
  # A library that was not built makes the entry "not run", not a failure
  # that looks like a fault of the code under test.
  set_tests_properties(${JUNIT_NAME} PROPERTIES
                       ENVIRONMENT "WINCE_LOCK_DIR=${TAVRIX_TEST_LOCK_DIR};${JUNIT_ENVIRONMENT}"
                       REQUIRED_FILES "${natives};${TAVRIX_TEST_JAR}"
                       TIMEOUT 180)
endfunction()

# The serial tests talk to instrument-sim over pseudo-terminals. The library
# reads WINCE_DEVICES once, so each entry maps COM1: to COM4: to symbolic
# links in a folder of its own; a test points a link at the pseudo-terminal
# of the simulator it has just started.
function(add_serial_junit_test name)
  set(links ${TAVRIX_JAVA_DIR}/links/${name})
  set(devices)
  foreach(n RANGE 1 4)
    list(APPEND devices COM${n}:=${links}/COM${n})
  endforeach()
  list(JOIN devices "," devices)
  add_junit_test(NAME Java.${name}
                 CLASSES ${ARGN}
                 ENVIRONMENT WINCE_DEVICES=${devices}
                             INSTRUMENT_LINKS=${links}
                             INSTRUMENT_SIM=$<TARGET_FILE:instrument-sim>)
endfunction()

set(tests com.tavrix.tools.comm)
add_serial_junit_test(Exchange ${tests}.ExchangeTest)
add_serial_junit_test(LineTrouble ${tests}.LineTroubleTest)
add_serial_junit_test(BadInput ${tests}.BadInputTest)
add_serial_junit_test(BadChecksum ${tests}.BadChecksumTest)
add_serial_junit_test(Hangup ${tests}.HangupTest)
# The console as its own process, from its jar.
add_serial_junit_test(Console ${tests}.ConsoleProcessTest)
set_property(TEST Java.Console APPEND PROPERTY ENVIRONMENT
             TAVRIX_CONSOLE_JAR=${TAVRIX_CONSOLE_JAR}
             TAVRIX_LIBRARY_DIR=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}
             TAVRIX_VERSION=${PROJECT_VERSION})
set_property(TEST Java.Console APPEND PROPERTY REQUIRED_FILES ${TAVRIX_CONSOLE_JAR})
add_dependencies(tavrix_java_tests tavrix_console)

# Other java/*.cmake files add entries of their own with add_junit_test.
file(GLOB TAVRIX_JUNIT_FRAGMENTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
list(REMOVE_ITEM TAVRIX_JUNIT_FRAGMENTS ${CMAKE_CURRENT_LIST_FILE})
foreach(fragment IN LISTS TAVRIX_JUNIT_FRAGMENTS)
  include(${fragment})
endforeach()
