package com.tavrix.tools.comm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;

/**
 * The soak: four ports, one per family, each against an instrument that
 * misbehaves at random (instrument-sim --chaos), all at once, until
 * SOAK_EXCHANGES exchanges are done or SOAK_SECONDS have passed. Every reply
 * must be the frame the instrument meant for the command, and every lost
 * exchange must end in 100301 with each of its sendings lost on purpose.
 *
 * <p>Settings from the environment: SOAK_EXCHANGES (20000), SOAK_SECONDS
 * (170), SOAK_SEED (1), SOAK_CHAOS (the simulators' chaos options, for
 * example "--chaos-loss 20 --chaos-outage 2"), SOAK_LATE_CALLER (per mille
 * of exchanges whose RecRS comes late, 2), SOAK_LOG_DIR (where the
 * simulators' logs go and stay; by default a folder removed after a clean
 * run).
 */
class SoakTest {
    private static final List<Family> FAMILIES = List.of(Family.QTVv1, Family.QTVv2, Family.KELT3B, Family.VX9);

    @Test
    void everyReplyIsTheFrameMeantAndEveryLossIsAccountedFor() throws Exception {
        int target = setting("SOAK_EXCHANGES", 20_000);
        int seconds = setting("SOAK_SECONDS", 170);
        long seed = setting("SOAK_SEED", 1);
        String keptLogs = System.getenv("SOAK_LOG_DIR");
        Path logs = keptLogs != null ? Files.createDirectories(Path.of(keptLogs))
                : Files.createTempDirectory("soak");

        List<SoakInstrument> instruments = new ArrayList<>();
        List<SoakCheck> checks = new ArrayList<>();
        long started = System.nanoTime();
        try (OpenPorts ports = new OpenPorts()) {
            List<Integer> portIndices = new ArrayList<>();
            for (int i = 0; i < FAMILIES.size(); i++) {
                String name = "COM" + (i + 1) + ":";
                instruments.add(SoakInstrument.start(name, FAMILIES.get(i), logs.resolve(FAMILIES.get(i) + ".log"),
                        chaosOptions(seed * 4 + i)));
                portIndices.add(ports.open(FAMILIES.get(i), name));
            }
            started = System.nanoTime();
            List<List<SoakPort.Exchange>> done = runPorts(portIndices, target, seed,
                    started + seconds * 1_000_000_000L);
            for (int i = 0; i < FAMILIES.size(); i++) {
                checks.add(SoakCheck.of(FAMILIES.get(i), done.get(i), instruments.get(i).entries()));
            }
        } finally {
            for (SoakInstrument instrument : instruments) {
                instrument.close();
            }
        }
        double runSeconds = (System.nanoTime() - started) / 1e9;
        SoakCheck total = SoakCheck.total(checks);
        report(checks, total, target, seconds, seed, runSeconds);

        assertEquals(0, total.mismatches, () -> "mismatches (logs in " + logs + "):\n"
                + String.join("\n", total.mismatchDetails));
        assertEquals(total.lost, total.lostAccounted);
        assertEquals(total.exchanges, total.verified + total.lost);
        assertTrue(total.exchanges > 0, "no exchange ran");
        // A reply complete before the wait without a late caller means a stalled
        // thread; if it were common, the library would be dropping prompt replies.
        assertTrue(total.earlyRepliesUnforced * 100 <= total.exchanges,
                total.earlyRepliesUnforced + " early replies without a late caller");
        if (keptLogs == null) {
            deleteFolder(logs);
        }
    }

    private static List<List<SoakPort.Exchange>> runPorts(List<Integer> portIndices, int target, long seed,
            long deadline) throws Exception {
        int lateCallerPermille = setting("SOAK_LATE_CALLER", 2);
        AtomicInteger tickets = new AtomicInteger(target);
        ExecutorService threads = Executors.newFixedThreadPool(portIndices.size());
        try {
            List<Future<List<SoakPort.Exchange>>> running = new ArrayList<>();
            for (int i = 0; i < portIndices.size(); i++) {
                running.add(threads.submit(new SoakPort(FAMILIES.get(i), portIndices.get(i), seed * 4 + i, tickets,
                        deadline, lateCallerPermille)));
            }
            List<List<SoakPort.Exchange>> done = new ArrayList<>();
            for (Future<List<SoakPort.Exchange>> port : running) {
                done.add(port.get());
            }
            return done;
        } finally {
            threads.shutdownNow();
        }
    }

    private static List<String> chaosOptions(long seed) {
        List<String> options = new ArrayList<>(List.of("--chaos", Long.toString(seed)));
        String extra = System.getenv("SOAK_CHAOS");
        if (extra != null && !extra.isBlank()) {
            options.addAll(Arrays.asList(extra.trim().split("\\s+")));
        }
        return options;
    }

    private static void report(List<SoakCheck> checks, SoakCheck total, int target, int seconds, long seed,
            double runSeconds) {
        StringBuilder text = new StringBuilder();
        text.append(String.format("soak: %d exchanges in %.1f s (SOAK_EXCHANGES=%d SOAK_SECONDS=%d SOAK_SEED=%d)%n",
                total.exchanges, runSeconds, target, seconds, seed));
        text.append(SoakCheck.header()).append('\n');
        for (SoakCheck check : checks) {
            text.append(check.row()).append('\n');
        }
        text.append(total.row()).append('\n');
        int injected = total.delays + total.splits + total.garbage + total.silences + total.badFrames
                + total.outageSendings + total.lateCallers;
        text.append(String.format("faults injected: %d (%d delays, %d split replies, %d with stray bytes, "
                + "%d silences, %d spoilt frames, %d sendings in outages, %d late callers)%n", injected, total.delays,
                total.splits, total.garbage, total.silences, total.badFrames, total.outageSendings,
                total.lateCallers));
        text.append(String.format("late callers (RecRS %d ms after EnvRS): %d; first replies complete before the wait, "
                + "taken after the resend: %d (%d without a late caller)%n", SoakPort.LATE_CALLER_MS,
                total.lateCallers, total.earlyReplies, total.earlyRepliesUnforced));
        text.append(String.format("frames verified: %d, lost exchanges: %d (accounted for: %d), mismatches: %d%n",
                total.verified, total.lost, total.lostAccounted, total.mismatches));
        System.out.print(text);
    }

    private static int setting(String name, int otherwise) {
        String value = System.getenv(name);
        return value == null || value.isBlank() ? otherwise : Integer.parseInt(value.trim());
    }

    private static void deleteFolder(Path folder) throws Exception {
        try (var files = Files.list(folder)) {
            for (Path file : files.toList()) {
                Files.deleteIfExists(file);
            }
        }
        Files.deleteIfExists(folder);
    }
}
