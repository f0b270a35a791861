package com.tavrix.tools;

import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Runs in a VM of its own for SystemToolProcessTest and prints what it saw,
 * one "key=value" line each. It names no other test class, so it also runs
 * with nothing but itself and the main classes on the class path.
 */
public final class SystemToolProbe {
    private SystemToolProbe() {}

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "load" -> load(Path.of(args[1]));
            case "sound" -> sound(args[1], Path.of(args[2]), Long.parseLong(args[3]));
            case "baud" -> baud(Integer.parseInt(args[1]));
            case "baud-load" -> baudLoad(Integer.parseInt(args[1]), Long.parseLong(args[2]));
            default -> throw new IllegalArgumentException(args[0]);
        }
    }

    // That a native answered, and what the driver had received once the
    // library was loaded ("absent" when there is no such file).
    private static void load(Path driverFile) throws Exception {
        System.out.println("clock=" + SystemTool.GetPreciseCurrentTimeMillis());
        String received = Files.exists(driverFile) ? Files.readString(driverFile).replace("\n", "|") : "absent";
        System.out.println("loaded=" + received);
    }

    private static void sound(String wave, Path played, long waveBytes) throws Exception {
        System.out.println("sync=" + SystemTool.PlaySound(wave, true));
        System.out.println("sync-bytes=" + Files.size(played));
        Files.delete(played);
        System.out.println("async=" + SystemTool.PlaySound(wave, false));
        long deadline = System.nanoTime() + 5_000_000_000L;
        long bytes = 0;
        while (System.nanoTime() < deadline && (bytes = sizeOf(played)) < waveBytes) {
            Thread.sleep(10);
        }
        System.out.println("async-bytes=" + bytes);
        System.out.println("set-volume=" + SystemTool.SetVolume(-1));
        System.out.println("get-volume=" + SystemTool.GetVolume());
    }

    // `calls` overrides in a row, then three threads overriding for `millis`;
    // prints how many calls did not return 1.
    private static void baudLoad(int calls, long millis) throws Exception {
        int failed = 0;
        for (int i = 0; i < calls; i++) {
            failed += SystemTool.SetNonStandardBaudRate(9600) == 1 ? 0 : 1;
        }
        java.util.concurrent.atomic.AtomicInteger threadFailures = new java.util.concurrent.atomic.AtomicInteger();
        long deadline = System.nanoTime() + millis * 1_000_000L;
        Thread[] threads = new Thread[3];
        for (int t = 0; t < threads.length; t++) {
            threads[t] = new Thread(() -> {
                while (System.nanoTime() < deadline) {
                    if (SystemTool.SetNonStandardBaudRate(9600) != 1) {
                        threadFailures.incrementAndGet();
                    }
                }
            });
            threads[t].start();
        }
        for (Thread thread : threads) {
            thread.join();
        }
        System.out.println("failed=" + (failed + threadFailures.get()));
    }

    private static long sizeOf(Path file) throws Exception {
        return Files.exists(file) ? Files.size(file) : 0;
    }

    private static void baud(int rate) {
        try {
            System.out.println("result=" + SystemTool.SetNonStandardBaudRate(rate));
        } catch (Throwable thrown) {
            System.out.println("thrown=" + thrown.getClass().getName() + ": " + thrown.getMessage());
        }
    }
}
