package com.tavrix.tools.comm;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.Callable;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * One port of the soak: exchanges with its instrument until the shared
 * ticket count or the deadline runs out, each with a command of its own.
 */
final class SoakPort implements Callable<List<SoakPort.Exchange>> {
    /**
     * One EnvRS and RecRS; `reply` is empty unless both returned 0. A late
     * caller called RecRS only LATE_CALLER_MS after EnvRS returned.
     */
    record Exchange(byte[] command, boolean lateCaller, long receiveCalledNanos, int sendResult,
            int receiveResult, byte[] reply, long nanos) {
        int result() {
            return sendResult != 0 ? sendResult : receiveResult;
        }
    }

    private static final int[] QTV2_CODES = {0x21, 0xA0, 0xB0, 0xBF, 0xA8, 0xB8};
    /** Longer than the worker's pause after a write, so a prompt reply is complete before the wait. */
    static final int LATE_CALLER_MS = 40;

    private final Family family;
    private final int port;
    private final Random random;
    private final AtomicInteger tickets;
    private final long deadline;
    private final int lateCallerPermille;
    private int counter;

    SoakPort(Family family, int port, long seed, AtomicInteger tickets, long deadline, int lateCallerPermille) {
        this.family = family;
        this.port = port;
        this.random = new Random(seed);
        this.tickets = tickets;
        this.deadline = deadline;
        this.lateCallerPermille = lateCallerPermille;
    }

    @Override
    public List<Exchange> call() throws InterruptedException {
        List<Exchange> exchanges = new ArrayList<>();
        while (System.nanoTime() < deadline && tickets.getAndDecrement() > 0) {
            boolean lateCaller = random.nextInt(1000) < lateCallerPermille;
            exchanges.add(exchange(nextCommand(), lateCaller));
        }
        return exchanges;
    }

    private Exchange exchange(byte[] command, boolean lateCaller) throws InterruptedException {
        long start = System.nanoTime();
        int sent = SerialQTV.EnvRS(port, command, command.length);
        if (sent != 0) {
            return new Exchange(command, lateCaller, 0, sent, 0, new byte[0], System.nanoTime() - start);
        }
        if (lateCaller) {
            Thread.sleep(LATE_CALLER_MS);
        }
        byte[] reply = new byte[Frames.REPLY_ROOM];
        int[] replyLength = {0};
        long receiveCalled = System.nanoTime();
        int received = SerialQTV.RecRS(port, reply, replyLength);
        byte[] frame = received == 0 ? Arrays.copyOf(reply, replyLength[0]) : new byte[0];
        return new Exchange(command, lateCaller, receiveCalled, 0, received, frame, System.nanoTime() - start);
    }

    /**
     * A command whose reply the instrument tags. Two commands in a row always
     * differ (a 16-bit counter in each), so the instrument's log splits into
     * the sendings of each exchange.
     */
    private byte[] nextCommand() {
        int high = (counter >> 8) & 0xFF;
        int low = counter & 0xFF;
        counter = (counter + 1) & 0xFFFF;
        return switch (family) {
            case QTVv1 -> Frames.bytes(0x78, high, low, random.nextInt(41));
            case QTVv2 -> qtv2Command(high, low);
            case KELT3B, VX9 -> withRandomTail(Frames.bytes(high, low), random.nextInt(11));
        };
    }

    // The reply length of 0xA8 and 0xB8 follows the command length.
    private byte[] qtv2Command(int high, int low) {
        int code = QTV2_CODES[random.nextInt(QTV2_CODES.length)];
        int dataCount = switch (code) {
            case 0xA8 -> 1 + 3 * (1 + random.nextInt(5));
            case 0xB8 -> 4 * (1 + random.nextInt(5));
            default -> 2 + random.nextInt(19);
        };
        int[] data = new int[dataCount];
        data[0] = high;
        data[1] = low;
        for (int i = 2; i < dataCount; i++) {
            data[i] = random.nextInt(256);
        }
        return Frames.qtv2Command(code, data);
    }

    private byte[] withRandomTail(byte[] head, int tail) {
        byte[] command = Arrays.copyOf(head, head.length + tail);
        for (int i = head.length; i < command.length; i++) {
            command[i] = (byte) random.nextInt(256);
        }
        return command;
    }
}
