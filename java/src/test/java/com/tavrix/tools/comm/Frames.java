package com.tavrix.tools.comm;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.Arrays;

/** Byte helpers and the plain send-and-receive exchange. */
final class Frames {
    /** Room for the longest frame of any family (QTVv2: 260 bytes). */
    static final int REPLY_ROOM = 300;

    private Frames() {
    }

    static byte[] bytes(int... values) {
        byte[] bytes = new byte[values.length];
        for (int i = 0; i < values.length; i++) {
            bytes[i] = (byte) values[i];
        }
        return bytes;
    }

    /** "80 F0 10 01 A0 21", as instrument-sim logs frames. */
    static String hex(byte[] bytes) {
        StringBuilder text = new StringBuilder();
        for (byte b : bytes) {
            if (text.length() > 0) {
                text.append(' ');
            }
            text.append(String.format("%02X", b & 0xFF));
        }
        return text.toString();
    }

    /** A QTVv2 frame of the code and data, with its additive checksum. */
    static byte[] qtv2Command(int code, int... data) {
        byte[] frame = new byte[data.length + 6];
        frame[0] = (byte) 0x80;
        frame[1] = (byte) 0xF0;
        frame[2] = 0x10;
        frame[3] = (byte) (data.length + 1);
        frame[4] = (byte) code;
        for (int i = 0; i < data.length; i++) {
            frame[5 + i] = (byte) data[i];
        }
        int sum = 0;
        for (int i = 0; i < frame.length - 1; i++) {
            sum += frame[i] & 0xFF;
        }
        frame[frame.length - 1] = (byte) sum;
        return frame;
    }

    /** Sends the command and returns the reply frame; fails the test on any nonzero result. */
    static byte[] exchange(int port, byte[] command) {
        assertResult(0, SerialQTV.EnvRS(port, command, command.length), "EnvRS");
        byte[] reply = new byte[REPLY_ROOM];
        int[] replyLength = {0};
        assertResult(0, SerialQTV.RecRS(port, reply, replyLength), "RecRS");
        return Arrays.copyOf(reply, replyLength[0]);
    }

    static void assertResult(int expected, int actual, String call) {
        assertEquals(expected, actual,
                () -> call + " returned " + actual + ":" + SerialQTV.ExpliciteLastError(actual));
    }
}
