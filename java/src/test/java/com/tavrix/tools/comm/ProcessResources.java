package com.tavrix.tools.comm;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;

/**
 * The open descriptors and the threads of this process as the kernel counts
 * them, native threads included (the ports' workers are not Java threads).
 */
final class ProcessResources {
    private static final Path DESCRIPTORS = Path.of("/proc/self/fd");
    private static final Path TASKS = Path.of("/proc/self/task");
    /** Kernel names are cut to 15 characters. */
    private static final int NAME_LENGTH = 15;
    /** Pools of the VM's own threads, which it grows and shrinks on demand (GC and compiler threads). */
    private static final List<String> VM_POOLS =
            List.of("GC Thread#", "G1 Conc#", "G1 Refine#", "C1 CompilerThre", "C2 CompilerThre");

    private ProcessResources() {
    }

    static int descriptors() throws IOException {
        try (Stream<Path> entries = Files.list(DESCRIPTORS)) {
            return (int) entries.count() - 1;  // the listing's own descriptor
        }
    }

    /** This process's threads, the VM's on-demand pools left out. */
    static long threads() throws IOException {
        return threadNames().stream().filter(name -> VM_POOLS.stream().noneMatch(name::startsWith)).count();
    }

    /** How many threads bear this name; a native thread carries the name of the thread that started it. */
    static long threadsNamed(String name) throws IOException {
        String kernelName = name.length() > NAME_LENGTH ? name.substring(0, NAME_LENGTH) : name;
        return threadNames().stream().filter(kernelName::equals).count();
    }

    static List<String> threadNames() throws IOException {
        List<String> names = new ArrayList<>();
        try (Stream<Path> tasks = Files.list(TASKS)) {
            for (Path task : (Iterable<Path>) tasks::iterator) {
                try {
                    names.add(Files.readString(task.resolve("comm"), StandardCharsets.US_ASCII).strip());
                } catch (IOException ended) {
                    // the thread ended while the folder was listed
                }
            }
        }
        return names;
    }

    /**
     * Waits until no thread bears one of the names given and the counts are
     * back to those given. Null then; else, after the time given, what is left.
     */
    static String awaitSettled(List<String> names, long threadsBefore, int descriptorsBefore, long timeoutMs)
            throws IOException, InterruptedException {
        long deadline = System.nanoTime() + timeoutMs * 1_000_000L;
        while (true) {
            long named = 0;
            for (String name : names) {
                named += threadsNamed(name);
            }
            if (named == 0 && threads() <= threadsBefore && descriptors() == descriptorsBefore) {
                return null;
            }
            if (System.nanoTime() > deadline) {
                return named + " threads named " + names + " still run; threads " + threads() + " (before: "
                        + threadsBefore + "), descriptors " + descriptors() + " (before: " + descriptorsBefore
                        + "); threads now: " + threadNames();
            }
            Thread.sleep(5);
        }
    }
}
