# One thread per instrument: four threads opening, exchanging with and
# closing their own ports at once, for 20 s (included by java.cmake).
add_serial_junit_test(OneThreadPerInstrument com.tavrix.tools.comm.OneThreadPerInstrumentTest)
