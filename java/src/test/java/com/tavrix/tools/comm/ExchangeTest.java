package com.tavrix.tools.comm;

import static com.tavrix.tools.comm.Frames.bytes;
import static com.tavrix.tools.comm.Frames.exchange;
import static com.tavrix.tools.comm.Frames.hex;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** Each family's exchange with an instrument on a pseudo-terminal, and the port table. */
class ExchangeTest {
    private final OpenPorts ports = new OpenPorts();

    @AfterEach
    void closePorts() {
        ports.close();
    }

    @Test
    void qtv2ReplyCarriesTheCommandCodePlus0x40AndAValidChecksum() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.QTVv2)) {
            int port = ports.open(Family.QTVv2, "COM1:");
            // 80 F0 10 02 E0 <sequence 1> <checksum>
            assertEquals("80 F0 10 02 E0 01 63", hex(exchange(port, bytes(0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21))));
            // A code whose reply length the library checks: 3 x 2 data bytes = 13 - 7.
            byte[] reply = exchange(port, Frames.qtv2Command(0xA8, 1, 2, 3, 4, 5, 6, 7));
            assertEquals("80 F0 10 03 E8 02 01 6E", hex(reply));
            assertEquals("COM1:", SerialQTV.DonneNomPortRS(port));
            assertNotEquals(0, ports.close(port));
            assertEquals(2, sim.commandsReceived().size());
        }
    }

    @Test
    void qtv1RepliesFollowTheCommandJustSent() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM2:", Family.QTVv1)) {
            int port = ports.open(Family.QTVv1, "COM2:");
            assertEquals("12 34 01 01 02 03 04 05", hex(exchange(port, bytes(0x78, 0x12, 0x34, 0x05))));
            assertEquals("01 02 03", hex(exchange(port, bytes(0xAA, 0x01, 0x02, 0x03))));
            assertEquals("03 4F 4B", hex(exchange(port, bytes(0x00, 0x80, 0x00, 0x00))));
            assertEquals("COM2:", SerialQTV.DonneNomPortRS(port));
        }
    }

    @Test
    void kelt3bFrameEchoesTheCommand() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM3:", Family.KELT3B)) {
            int port = ports.open(Family.KELT3B, "COM3:");
            assertEquals("5A A5 01 03 01 02 03 20 20 20 20 20", hex(exchange(port, bytes(1, 2, 3))));
            // The second reply is the second command's, not a leftover of the first.
            assertEquals("5A A5 02 02 44 55 20 20 20 20 20 20", hex(exchange(port, bytes(0x44, 0x55))));
        }
    }

    @Test
    void vx9FrameEchoesTheCommand() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM4:", Family.VX9)) {
            int port = ports.open(Family.VX9, "COM4:");
            assertEquals("00 01 02 01 02 11 22 20 20 20 20 20 20", hex(exchange(port, bytes(0x11, 0x22))));
        }
    }

    @Test
    void fourPortsTakeTheSlotsInOrderAndAFifthIsRefused() throws Exception {
        Family[] families = Family.values();
        InstrumentSim[] sims = new InstrumentSim[4];
        try {
            for (int i = 0; i < 4; i++) {
                sims[i] = InstrumentSim.start("COM" + (i + 1) + ":", families[i]);
                assertEquals(i, ports.open(families[i], "COM" + (i + 1) + ":"));
            }
            assertEquals("12 34 01 01 02 03 04 05", hex(exchange(0, bytes(0x78, 0x12, 0x34, 0x05))));
            assertEquals("5A A5 01 01 07 20 20 20 20 20 20 20", hex(exchange(2, bytes(7))));
            assertEquals("80 F0 10 02 E0 01 63", hex(exchange(1, bytes(0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21))));
            assertEquals("00 01 02 01 01 08 20 20 20 20 20 20 20", hex(exchange(3, bytes(8))));

            int[] portIndex = {-1};
            assertEquals(100302, SerialQTV.InitRS_VX9("COM4:", portIndex));
            assertEquals(4, portIndex[0]);

            // A freed slot is taken again, and its new port works.
            assertNotEquals(0, ports.close(1));
            assertEquals(1, ports.open(Family.QTVv2, "COM2:"));
            assertEquals("80 F0 10 02 E0 02 64", hex(exchange(1, bytes(0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21))));
        } finally {
            ports.close();
            for (InstrumentSim sim : sims) {
                if (sim != null) {
                    sim.close();
                }
            }
        }
    }

    @Test
    void aDeviceAlreadyOpenIsRefusedAndItsSlotStaysFree() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B)) {
            int port = ports.open(Family.KELT3B, "COM1:");
            int[] portIndex = {-1};
            int code = SerialQTV.InitRS_KELT3B("COM1:", portIndex);
            assertNotEquals(0, code);
            assertEquals(port + 1, portIndex[0]);
            assertFalse(SerialQTV.ExpliciteLastError(code).isEmpty());
            // The refused open did not claim that slot: the next open takes it.
            try (InstrumentSim other = InstrumentSim.start("COM2:", Family.VX9)) {
                assertEquals(port + 1, ports.open(Family.VX9, "COM2:"));
            }
        }
    }

    @Test
    void aNameNoDeviceAnswersToIsNotFound() {
        int[] portIndex = {-1};
        assertEquals(2, SerialQTV.InitRS_QTVv2("COM9:", portIndex));
        assertEquals(0, portIndex[0]);
    }
}
