package com.tavrix.tools.comm;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;

/** The ports a test opened, closed after it whatever its outcome. */
final class OpenPorts implements AutoCloseable {
    private final List<Integer> ports = new ArrayList<>();

    /** Opens the port for the family; fails the test unless that succeeds. */
    int open(Family family, String portName) {
        int[] portIndex = {-1};
        Frames.assertResult(0, family.open(portName, portIndex), "open " + family + " " + portName);
        assertTrue(portIndex[0] >= 0 && portIndex[0] < 4, "port index " + portIndex[0]);
        ports.add(portIndex[0]);
        return portIndex[0];
    }

    /** Closes one port now; the result of FermRS. */
    int close(int port) {
        ports.remove(Integer.valueOf(port));
        return SerialQTV.FermRS(port);
    }

    @Override
    public void close() {
        for (int port : ports) {
            SerialQTV.FermRS(port);
        }
        ports.clear();
    }
}
