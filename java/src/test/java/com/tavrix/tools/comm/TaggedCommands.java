package com.tavrix.tools.comm;

import java.util.Arrays;

/**
 * A command of each family that carries tag bytes the instrument echoes, and
 * the check that a reply answers that very command: a reply of another port,
 * or of an earlier command, does not pass it.
 */
final class TaggedCommands {
    /** Tags stay clear of every byte a simulator replaces in its replies (0x00, 0x3F, 0x5A, 0x80). */
    private static final int TAG_VALUES = 0x3E;
    private static final int SEQUENCE = -1;  // the instrument's own counter: any value
    private static final int PAD = 0x20;

    private TaggedCommands() {
    }

    /** A tag byte for the number n: 0x01 to 0x3E. */
    static int tag(int n) {
        return 1 + Math.floorMod(n, TAG_VALUES);
    }

    static byte[] command(Family family, int first, int second) {
        return switch (family) {
            case QTVv1 -> Frames.bytes(0xAA, first, second, 0x33);
            case QTVv2 -> Frames.qtv2Command(0xA0, first, second);
            case KELT3B -> Frames.bytes(first, second, 0x4B);
            case VX9 -> Frames.bytes(first, second);
        };
    }

    /** Null when the reply answers the command, else what is wrong with it. */
    static String mismatch(Family family, byte[] command, byte[] reply) {
        int[] expected = expectedReply(family, command);
        boolean matches = expected.length == reply.length;
        for (int i = 0; matches && i < expected.length; i++) {
            matches = expected[i] == SEQUENCE || expected[i] == (reply[i] & 0xFF);
        }
        return matches ? null
                : family + ": reply " + Frames.hex(reply) + " does not answer " + Frames.hex(command);
    }

    // The reply the simulator gives to command(family, first, second).
    private static int[] expectedReply(Family family, byte[] command) {
        int first = command[family == Family.QTVv2 ? 5 : family == Family.QTVv1 ? 1 : 0] & 0xFF;
        int second = command[family == Family.QTVv2 ? 6 : family == Family.QTVv1 ? 2 : 1] & 0xFF;
        return switch (family) {
            case QTVv1 -> new int[] {first, second, 0x33};
            case QTVv2 -> qtv2Reply(first, second);
            case KELT3B -> padded(new int[] {0x5A, 0xA5, SEQUENCE, 3, first, second, 0x4B}, 12);
            case VX9 -> padded(new int[] {0x00, 0x01, 0x02, SEQUENCE, 2, first, second}, 13);
        };
    }

    // 80 F0 10 <count> E0 <sequence> first second <checksum>; the checksum
    // depends on the sequence number, so it is not compared.
    private static int[] qtv2Reply(int first, int second) {
        return new int[] {0x80, 0xF0, 0x10, 0x04, 0xE0, SEQUENCE, first, second, SEQUENCE};
    }

    private static int[] padded(int[] head, int length) {
        int[] frame = Arrays.copyOf(head, length);
        Arrays.fill(frame, head.length, length, PAD);
        return frame;
    }
}
