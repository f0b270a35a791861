package com.tavrix.tools;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;

/** WAV files for the sound tests: 16-bit mono PCM at 8 kHz. */
final class Waves {
    private Waves() {}

    static byte[] of(byte[] samples) {
        ByteBuffer wave = ByteBuffer.allocate(44 + samples.length).order(ByteOrder.LITTLE_ENDIAN);
        wave.put("RIFF".getBytes(StandardCharsets.US_ASCII)).putInt(36 + samples.length);
        wave.put("WAVEfmt ".getBytes(StandardCharsets.US_ASCII)).putInt(16);
        wave.putShort((short) 1).putShort((short) 1).putInt(8000).putInt(16000);
        wave.putShort((short) 2).putShort((short) 16);
        wave.put("data".getBytes(StandardCharsets.US_ASCII)).putInt(samples.length).put(samples);
        return wave.array();
    }
}
