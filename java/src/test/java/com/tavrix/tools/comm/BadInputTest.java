package com.tavrix.tools.comm;

import static com.tavrix.tools.comm.Frames.bytes;
import static com.tavrix.tools.comm.Frames.exchange;
import static com.tavrix.tools.comm.Frames.hex;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * Arguments the library refuses: nothing is sent, no array is overrun, and
 * the port goes on working.
 */
class BadInputTest {
    private static final int ERROR_INVALID_PARAMETER = 87;
    private static final int ERROR_INSUFFICIENT_BUFFER = 122;
    private static final int ERROR_INVALID_NAME = 123;

    private final OpenPorts ports = new OpenPorts();

    @AfterEach
    void closePorts() {
        ports.close();
    }

    @Test
    void portIndicesOutsideTheTableAreRefused() {
        for (int port : new int[] {-1, 4, Integer.MIN_VALUE}) {
            byte[] message = bytes(1, 2, 3);
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, message, message.length));
            int[] replyLength = {0};
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(port, new byte[Frames.REPLY_ROOM], replyLength));
            assertEquals(0, replyLength[0]);
            assertEquals(0, SerialQTV.FermRS(port));
            assertEquals("", SerialQTV.DonneNomPortRS(port));
        }
    }

    @Test
    void messageLengthsOutsideTheMessageOrTheSendBufferAreRefused() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B)) {
            int port = ports.open(Family.KELT3B, "COM1:");
            byte[] full = new byte[256];
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, full, -1));
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, full, 256));
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, bytes(1, 2, 3), 4));
            assertEquals(List.of(), sim.commandsReceived());

            // The bounds themselves are accepted.
            assertEquals(0, SerialQTV.EnvRS(port, bytes(1, 2, 3), 0));
            byte[] longest = new byte[255];
            longest[0] = 0x41;
            assertEquals(0, SerialQTV.EnvRS(port, longest, 255));
            byte[] reply = new byte[Frames.REPLY_ROOM];
            int[] replyLength = {0};
            assertEquals(0, SerialQTV.RecRS(port, reply, replyLength));
            assertEquals("5A A5 01 FF 41 00 00 00 00 00 00 00", hex(Arrays.copyOf(reply, replyLength[0])));
            assertEquals("5A A5 02 03 0A 0B 0C 20 20 20 20 20", hex(exchange(port, bytes(0x0A, 0x0B, 0x0C))));
        }
    }

    @Test
    void aPortNameLongerThanNineCharactersIsRefused() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.VX9)) {
            int first = ports.open(Family.VX9, "COM1:");
            int[] portIndex = {-1};
            assertEquals(ERROR_INVALID_NAME, SerialQTV.InitRS_VX9("COM123456:", portIndex));
            assertEquals(first + 1, portIndex[0]);
            // Nine characters are not too long: the name is looked up (and not found).
            assertEquals(2, SerialQTV.InitRS_VX9("COM12345:", portIndex));
            assertEquals(first + 1, portIndex[0]);
        }
    }

    @Test
    void missingNamesAndArraysAreRefused() {
        int[] portIndex = {-1};
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.InitRS_QTVv2(null, portIndex));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.InitRS_QTVv1(9600, null, portIndex));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.InitRS_KELT3B("COM1:", null));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.InitRS_VX9("COM1:", new int[0]));

        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(0, null, 0));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(0, null, new int[] {0}));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(0, new byte[Frames.REPLY_ROOM], null));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(0, new byte[Frames.REPLY_ROOM], new int[0]));
    }

    @Test
    void aReplyArrayTooSmallForTheFrameIsReportedAndLeftIntact() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B)) {
            int port = ports.open(Family.KELT3B, "COM1:");
            byte[] command = bytes(7);
            assertEquals(0, SerialQTV.EnvRS(port, command, command.length));
            byte[] small = bytes(0x11, 0x11, 0x11, 0x11, 0x11);
            // A length cell beyond the array is not taken as a count to copy back.
            int[] replyLength = {500};
            assertEquals(ERROR_INSUFFICIENT_BUFFER, SerialQTV.RecRS(port, small, replyLength));
            assertEquals("11 11 11 11 11", hex(small));
            // The port still serves the next exchange.
            assertEquals("5A A5 02 01 08 20 20 20 20 20 20 20", hex(exchange(port, bytes(8))));
        }
    }
}
