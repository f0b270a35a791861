# Morvane loaded and dropped by throw-away class loaders (included by
# java.cmake). A VM of its own: no other class loader may hold the library.
# "OBX0:" and ALSA's default device point into a folder the test fills.
set(SYSTOOL_UNLOAD_DIR ${TAVRIX_JAVA_DIR}/unload)
add_junit_test(NAME Java.SystemToolUnload
               CLASSES com.tavrix.tools.SystemToolUnloadTest
               ENVIRONMENT SYSTOOL_UNLOAD_DIR=${SYSTOOL_UNLOAD_DIR}
                           WINCE_DEVICES=OBX0:=${SYSTOOL_UNLOAD_DIR}/obx0
                           ALSA_CONFIG_PATH=${SYSTOOL_UNLOAD_DIR}/asound.conf)
