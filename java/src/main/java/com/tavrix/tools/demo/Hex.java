package com.tavrix.tools.demo;

import java.io.ByteArrayOutputStream;

/** Bytes as the console reads and prints them: "80 F0 10 01 A0 21". */
final class Hex {
    private Hex() {
    }

    static String format(byte[] bytes, int count) {
        StringBuilder text = new StringBuilder();
        for (int i = 0; i < count; i++) {
            if (i > 0) {
                text.append(' ');
            }
            text.append(String.format("%02X", bytes[i] & 0xFF));
        }
        return text.toString();
    }

    static String format(byte[] bytes) {
        return format(bytes, bytes.length);
    }

    /**
     * Parses hex bytes separated by blanks or commas, or written together
     * ("80F010"); anything else (a sign, a "0x", a letter past F) is refused
     * with an IllegalArgumentException that names the bad token.
     */
    static byte[] parse(String text) {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        for (String token : text.trim().split("[\\s,]+")) {
            if (token.isEmpty()) {
                continue;
            }
            if (!token.matches("[0-9A-Fa-f]+")) {
                throw new IllegalArgumentException("not hex: " + token);
            }
            if (token.length() > 2 && token.length() % 2 != 0) {
                throw new IllegalArgumentException("odd number of hex digits: " + token);
            }
            int width = token.length() > 2 ? 2 : token.length();
            for (int i = 0; i < token.length(); i += width) {
                bytes.write(Integer.parseInt(token.substring(i, i + width), 16));
            }
        }
        return bytes.toByteArray();
    }
}
