# The port list and the result texts under a real VM. WINCE_DEVICES maps
# exactly COM1: and COM2:, to links that the test points at the two
# instrument simulators it starts, so the list must hold those two only.
set(links ${TAVRIX_JAVA_DIR}/links/ListsAndTexts)
add_junit_test(NAME Java.ListsAndTexts
               CLASSES com.tavrix.tools.comm.ListsAndTextsTest
               ENVIRONMENT WINCE_DEVICES=COM1:=${links}/COM1,COM2:=${links}/COM2
                           INSTRUMENT_LINKS=${links}
                           INSTRUMENT_SIM=$<TARGET_FILE:instrument-sim>)
