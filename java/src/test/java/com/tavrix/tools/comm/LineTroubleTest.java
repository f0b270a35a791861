package com.tavrix.tools.comm;

import static com.tavrix.tools.comm.Frames.bytes;
import static com.tavrix.tools.comm.Frames.exchange;
import static com.tavrix.tools.comm.Frames.hex;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** Replies as real lines deliver them: in pieces, late, after stray bytes. */
class LineTroubleTest {
    private static final byte[] QTV2_COMMAND = bytes(0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21);

    private final OpenPorts ports = new OpenPorts();

    @AfterEach
    void closePorts() {
        ports.close();
    }

    @Test
    void aReplyInPiecesIsDeliveredWhole() throws Exception {
        try (InstrumentSim kelt = InstrumentSim.start("COM1:", Family.KELT3B, "--chunks", "4", "--gap", "40");
                InstrumentSim qtv2 = InstrumentSim.start("COM2:", Family.QTVv2, "--chunks", "7", "--gap", "30")) {
            int keltPort = ports.open(Family.KELT3B, "COM1:");
            int qtv2Port = ports.open(Family.QTVv2, "COM2:");
            assertEquals("5A A5 01 01 09 20 20 20 20 20 20 20", hex(exchange(keltPort, bytes(9))));
            assertEquals("80 F0 10 02 E0 01 63", hex(exchange(qtv2Port, QTV2_COMMAND)));
        }
    }

    @Test
    void bytesBeforeTheFrameAreDropped() throws Exception {
        try (InstrumentSim vx9 = InstrumentSim.start("COM1:", Family.VX9, "--garbage", "9");
                InstrumentSim qtv2 = InstrumentSim.start("COM2:", Family.QTVv2, "--garbage", "5", "--chunks", "2");
                InstrumentSim qtv1 = InstrumentSim.start("COM3:", Family.QTVv1, "--garbage", "4")) {
            int vx9Port = ports.open(Family.VX9, "COM1:");
            int qtv2Port = ports.open(Family.QTVv2, "COM2:");
            int qtv1Port = ports.open(Family.QTVv1, "COM3:");
            assertEquals("00 01 02 01 01 33 20 20 20 20 20 20 20", hex(exchange(vx9Port, bytes(0x33))));
            assertEquals("80 F0 10 02 E0 01 63", hex(exchange(qtv2Port, QTV2_COMMAND)));
            assertEquals("12 34 01 01 02", hex(exchange(qtv1Port, bytes(0x78, 0x12, 0x34, 0x02))));
        }
    }

    @Test
    void aReplyWithinTheTimeoutNeedsNoResend() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B, "--delay", "600")) {
            int port = ports.open(Family.KELT3B, "COM1:");
            long start = System.nanoTime();
            assertEquals("5A A5 01 01 05 20 20 20 20 20 20 20", hex(exchange(port, bytes(5))));
            assertTrue(System.nanoTime() - start >= 600_000_000L);
            assertEquals(1, sim.commandsReceived().size());
        }
    }

    @Test
    void aReplyLaterThanTheTimeoutIsTakenAfterTheResend() throws Exception {
        // KELT3B waits 1 s: the command goes out again at about 1 s, and the
        // reply to the first one, sent at 1.5 s, ends the second wait.
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B, "--delay", "1500")) {
            int port = ports.open(Family.KELT3B, "COM1:");
            assertEquals("5A A5 01 01 06 20 20 20 20 20 20 20", hex(exchange(port, bytes(6))));
            assertEquals(List.of("06", "06"), sim.commandsReceived(2));
        }
    }
}
