# The soak (included by java.cmake): four ports against instrument simulators
# that misbehave at random. `Java.Soak` (label soak) is the bounded run of
# every `make test`: SOAK_EXCHANGES exchanges (20000) or SOAK_SECONDS (170),
# whichever ends first. The target `soak` (`make soak`) runs the same test
# with the caller's SOAK_* settings and no ctest time limit.
set(SOAK_CLASS com.tavrix.tools.comm.SoakTest)
add_serial_junit_test(Soak ${SOAK_CLASS})
set_tests_properties(Java.Soak PROPERTIES LABELS soak TIMEOUT 300)

# The same VM command as the ctest entry, with links of its own so that it
# can run beside ctest.
set(SOAK_LINKS ${TAVRIX_JAVA_DIR}/links/SoakLong)
set(SOAK_DEVICES)
foreach(n RANGE 1 4)
  list(APPEND SOAK_DEVICES COM${n}:=${SOAK_LINKS}/COM${n})
endforeach()
list(JOIN SOAK_DEVICES "," SOAK_DEVICES)
add_custom_target(soak
  COMMAND ${CMAKE_COMMAND} -E env WINCE_DEVICES=${SOAK_DEVICES} INSTRUMENT_LINKS=${SOAK_LINKS}
          WINCE_LOCK_DIR=${TAVRIX_TEST_LOCK_DIR}
          INSTRUMENT_SIM=$<TARGET_FILE:instrument-sim>
          ${TAVRIX_RUN_JUNIT} ${Java_JAVA_EXECUTABLE} -Xcheck:jni
          -Djava.library.path=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}
          -jar ${JUNIT_CONSOLE_JAR}
          --class-path ${TAVRIX_MAIN_JAR}:${TAVRIX_TEST_JAR}
          --select-class=${SOAK_CLASS} --details=tree --disable-banner --disable-ansi-colors
          --fail-if-no-tests
  WORKING_DIRECTORY ${TAVRIX_JAVA_DIR}
  USES_TERMINAL
  VERBATIM)
add_dependencies(soak tavrix_java_tests)
