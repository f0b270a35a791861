# SerialQTV loaded, used and dropped with class loaders of its own, round
# after round; in a VM of its own, whose app class loader never loads the
# library (included by java.cmake).
add_serial_junit_test(LibraryUnload com.tavrix.tools.comm.LibraryUnloadTest)
