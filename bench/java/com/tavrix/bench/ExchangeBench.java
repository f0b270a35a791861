package com.tavrix.bench;

import com.tavrix.tools.comm.SerialQTV;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.List;

/**
 * The serial library as the Java application sees it, without a benchmark
 * framework: warm up, then time each call with System.nanoTime.
 *
 * <pre>
 * exchange PORT COUNT WARMUP OUT [STAMPS]   EnvRS + RecRS; OUT gets ns per exchange,
 *                                           or with STAMPS each reply's detection latency
 * open PORT COUNT OUT                       InitRS_QTVv2's time beyond its 100 ms pause
 * </pre>
 * PORT is a platform name ("COM1:") that WINCE_DEVICES maps to the simulator.
 */
public final class ExchangeBench {
    private static final byte[] COMMAND = {(byte) 0x80, (byte) 0xF0, 0x10, 0x01, (byte) 0xA0, 0x21};
    private static final int REPLY_LENGTH = 7;
    private static final long OPEN_PAUSE_NS = 100_000_000L;
    private static final long WORKER_END_MS = 10;
    /** Pause after each exchange: the worker rests 20 ms after a frame, so each exchange starts idle. */
    private static final long EXCHANGE_GAP_MS = 25;

    private ExchangeBench() {}

    public static void main(String[] args) throws Exception {
        if (args.length >= 5 && args[0].equals("exchange")) {
            exchange(args[1], Integer.parseInt(args[2]), Integer.parseInt(args[3]), Path.of(args[4]),
                    args.length > 5 ? Path.of(args[5]) : null);
        } else if (args.length == 4 && args[0].equals("open")) {
            opens(args[1], Integer.parseInt(args[2]), Path.of(args[3]));
        } else {
            System.err.println("usage: ExchangeBench exchange PORT COUNT WARMUP OUT [STAMPS] | open PORT COUNT OUT");
            System.exit(2);
        }
    }

    private static int open(String port) {
        int[] index = new int[1];
        int result = SerialQTV.InitRS_QTVv2(port, index);
        if (result != 0) {
            throw new IllegalStateException("InitRS_QTVv2(" + port + "): " + result);
        }
        return index[0];
    }

    private static void exchange(String port, int count, int warmup, Path out, Path stamps)
            throws IOException, InterruptedException {
        int index = open(port);
        byte[] reply = new byte[260];
        int[] replyLength = new int[1];
        long[] durations = new long[count];
        long[] ends = new long[count];
        long[] sends = new long[count];
        for (int i = 0; i < warmup + count; i++) {
            long start = System.nanoTime();
            int sent = SerialQTV.EnvRS(index, COMMAND, COMMAND.length);
            long sentAt = System.nanoTime();
            int received = sent == 0 ? SerialQTV.RecRS(index, reply, replyLength) : sent;
            long end = System.nanoTime();
            if (received != 0 || replyLength[0] != REPLY_LENGTH) {
                throw new IllegalStateException("exchange " + i + ": " + received);
            }
            if (i >= warmup) {
                durations[i - warmup] = end - start;
                ends[i - warmup] = end;
                sends[i - warmup] = sentAt - start;
            }
            Thread.sleep(EXCHANGE_GAP_MS);
        }
        SerialQTV.FermRS(index);
        if (stamps == null) {
            write(out, durations);
            write(Path.of(out + ".send"), sends);
            return;
        }
        long[] lastByte = lastStamps(stamps, count);
        long[] latencies = new long[count];
        for (int i = 0; i < count; i++) {
            latencies[i] = ends[i] - lastByte[i];
        }
        write(out, latencies);
    }

    private static void opens(String port, int count, Path out) throws IOException, InterruptedException {
        long[] beyondPause = new long[count];
        for (int i = 0; i <= count; i++) {  // the first opening reads the mapping: not counted
            long start = System.nanoTime();
            int index = open(port);
            long took = System.nanoTime() - start;
            if (i > 0) {
                beyondPause[i - 1] = took - OPEN_PAUSE_NS;
            }
            SerialQTV.FermRS(index);
            Thread.sleep(WORKER_END_MS);
        }
        write(out, beyondPause);
    }

    /** The simulator's last `count` stamps; the stamp of a reply follows its last byte. */
    private static long[] lastStamps(Path stamps, int count) throws IOException, InterruptedException {
        List<String> lines = Files.readAllLines(stamps, StandardCharsets.US_ASCII);
        for (int wait = 0; lines.size() < count && wait < 200; wait++) {
            Thread.sleep(10);
            lines = Files.readAllLines(stamps, StandardCharsets.US_ASCII);
        }
        if (lines.size() < count) {
            throw new IllegalStateException("reply stamps missing in " + stamps);
        }
        long[] values = new long[count];
        for (int i = 0; i < count; i++) {
            values[i] = Long.parseLong(lines.get(lines.size() - count + i).trim());
        }
        return values;
    }

    private static void write(Path out, long[] samples) throws IOException {
        List<String> lines = new ArrayList<>(samples.length);
        for (long sample : samples) {
            lines.add(Long.toString(sample));
        }
        Files.write(out, lines, StandardCharsets.US_ASCII, StandardOpenOption.CREATE, StandardOpenOption.APPEND);
    }
}
