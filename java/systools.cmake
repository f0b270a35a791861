# The system-tools JUnit tests (included by java.cmake).
# A Morvane whose processor and bus are simulated, in a folder of its own,
# so that a real VM can see SetNonStandardBaudRate's exception here.
set(MORVANE_SIMULATED_DIR ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/simulated)
add_library(MorvaneSimulated SHARED
            $<TARGET_OBJECTS:systools_core>
            ${PROJECT_SOURCE_DIR}/tests/systools/simulated_library/simulated_uart.cpp)
target_link_libraries(MorvaneSimulated PRIVATE wince_host)
target_link_options(MorvaneSimulated PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL)
set_target_properties(MorvaneSimulated PROPERTIES
                      OUTPUT_NAME Morvane
                      LIBRARY_OUTPUT_DIRECTORY ${MORVANE_SIMULATED_DIR})
add_dependencies(tavrix_java_tests MorvaneSimulated)

add_junit_test(NAME Java.SystemTool CLASSES com.tavrix.tools.SystemToolTest)
add_junit_test(NAME Java.SystemToolProcesses
               CLASSES com.tavrix.tools.SystemToolProcessTest
               ENVIRONMENT MORVANE_SIMULATED_LIBRARY_DIR=${MORVANE_SIMULATED_DIR})
set_property(TEST Java.SystemToolProcesses APPEND PROPERTY
             REQUIRED_FILES $<TARGET_FILE:MorvaneSimulated>)
