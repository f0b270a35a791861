package com.tavrix.tools.comm;

import static com.tavrix.tools.comm.Frames.bytes;
import static com.tavrix.tools.comm.Frames.exchange;
import static com.tavrix.tools.comm.Frames.hex;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** An instrument that goes away in the middle of a session. */
class HangupTest {
    private final OpenPorts ports = new OpenPorts();

    @AfterEach
    void closePorts() {
        ports.close();
    }

    @Test
    void theExchangeAfterAHangupFailsAndTheSlotCanBeUsedAgain() throws Exception {
        int port;
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B, "--hangup-after", "1")) {
            port = ports.open(Family.KELT3B, "COM1:");
            assertEquals("5A A5 01 01 01 20 20 20 20 20 20 20", hex(exchange(port, bytes(1))));
            sim.waitForExit();
            byte[] command = bytes(2);
            int result = SerialQTV.EnvRS(port, command, command.length);
            if (result == 0) {
                result = SerialQTV.RecRS(port, new byte[Frames.REPLY_ROOM], new int[] {0});
            }
            assertNotEquals(0, result);
            ports.close(port);
        }
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B)) {
            assertEquals(port, ports.open(Family.KELT3B, "COM1:"));
            assertEquals("5A A5 01 01 03 20 20 20 20 20 20 20", hex(exchange(port, bytes(3))));
        }
    }
}
