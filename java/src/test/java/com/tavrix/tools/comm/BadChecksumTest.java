package com.tavrix.tools.comm;

import static com.tavrix.tools.comm.Frames.bytes;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Collections;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** A QTVv2 instrument whose every reply has a wrong checksum (slow: four 2 s waits). */
class BadChecksumTest {
    private final OpenPorts ports = new OpenPorts();

    @AfterEach
    void closePorts() {
        ports.close();
    }

    @Test
    void noFaultyFrameIsDeliveredAndTheCommandIsSentFourTimes() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.QTVv2, "--bad-checksum")) {
            int port = ports.open(Family.QTVv2, "COM1:");
            byte[] command = bytes(0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21);
            Frames.assertResult(0, SerialQTV.EnvRS(port, command, command.length), "EnvRS");
            byte[] reply = new byte[Frames.REPLY_ROOM];
            int[] replyLength = {0};
            long start = System.nanoTime();
            assertEquals(100301, SerialQTV.RecRS(port, reply, replyLength));
            long elapsedMs = (System.nanoTime() - start) / 1_000_000;
            // Four waits of 2 s (three would end near 6 s).
            assertTrue(elapsedMs >= 7900, "RecRS gave up after " + elapsedMs + " ms");
            assertEquals(0, replyLength[0]);
            assertEquals(Collections.nCopies(4, "80 F0 10 01 A0 21"), sim.commandsReceived());
            assertEquals(4, sim.repliesSent().size());
        }
    }
}
