package com.tavrix.tools.comm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.ref.WeakReference;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.Test;

/**
 * SerialQTV loaded in a class loader of its own, used, and dropped with its
 * loader, round after round in one VM, as application servers and plug-in
 * hosts do. The VM unloads the library once the loader is collected; the
 * library must never be unmapped under one of its threads, also when a port
 * was left open and its worker still runs.
 */
class LibraryUnloadTest {
    private static final int ROUNDS = 50;
    /** Rounds that leave their port open when the loader is dropped; the next loader closes it. */
    private static final Set<Integer> LEFT_OPEN = Set.of(17, ROUNDS);
    private static final String ROUND_THREAD = "unload-round";
    private static final long UNLOAD_TIMEOUT_MS = 20_000;
    private static final long SETTLE_TIMEOUT_MS = 3_000;

    /** A port a dropped loader left open: its slot and its device. */
    private record OpenPort(int index, String portName) {
    }

    private final Family[] families = {Family.QTVv2, Family.KELT3B};
    private final String[] portNames = {"COM1:", "COM2:"};

    @Test
    void eachRoundUnloadsTheLibraryWithoutACrashOrALeakedThread() throws Exception {
        try (InstrumentSim first = InstrumentSim.start(portNames[0], families[0]);
                InstrumentSim second = InstrumentSim.start(portNames[1], families[1])) {
            collectGarbage();
            final long threads = ProcessResources.threads();
            final int descriptors = ProcessResources.descriptors();
            OpenPort leftOpen = null;
            // Round ROUNDS + 1 is one more: its load shows that the last round's
            // unload happened, and it closes the port that round left open.
            for (int round = 1; round <= ROUNDS + 1; round++) {
                leftOpen = runRound(round, leftOpen);
                if (leftOpen == null) {
                    assertSettled(round, threads, descriptors);
                }
            }
        }
    }

    /** One load, use and drop, on a thread of its own; returns the port it left open, if any. */
    private OpenPort runRound(int round, OpenPort leftOpen) throws Exception {
        AtomicReference<OpenPort> stillOpen = new AtomicReference<>();
        AtomicReference<WeakReference<ClassLoader>> dropped = new AtomicReference<>();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        Thread thread = new Thread(() -> {
            try {
                IsolatedSerialQTV serial = IsolatedSerialQTV.loadOnceFree(UNLOAD_TIMEOUT_MS);
                stillOpen.set(useLibrary(serial, round, leftOpen));
                dropped.set(serial.drop());
            } catch (Throwable thrown) {
                failure.set(thrown);
            }
        }, ROUND_THREAD);
        thread.start();
        thread.join();
        if (failure.get() != null) {
            throw new AssertionError("round " + round, failure.get());
        }
        assertTrue(IsolatedSerialQTV.awaitCollected(dropped.get(), UNLOAD_TIMEOUT_MS),
                "round " + round + ": the dropped class loader was not collected");
        return stillOpen.get();
    }

    // Opens the round's device, exchanges one command, and closes it unless
    // the round leaves it open. A port a dropped loader left open is still in
    // the table and is closed through this loader.
    private OpenPort useLibrary(IsolatedSerialQTV serial, int round, OpenPort leftOpen) throws Exception {
        int device = round % 2;
        if (leftOpen != null) {
            assertEquals(leftOpen.portName(), serial.donneNomPortRS(leftOpen.index()), "round " + round);
        }
        int[] portIndex = {-1};
        assertEquals(0, serial.open(families[device], portNames[device], portIndex), "round " + round + " open");
        int port = portIndex[0];
        if (leftOpen != null) {
            assertNotEquals(leftOpen.index(), port, "round " + round + ": a held slot was given again");
        }
        exchange(serial, round, device, port);
        if (leftOpen != null) {
            assertNotEquals(0, serial.fermRS(leftOpen.index()), "round " + round + ": closing the port left open");
        }
        if (LEFT_OPEN.contains(round)) {
            return new OpenPort(port, portNames[device]);
        }
        assertNotEquals(0, serial.fermRS(port), "round " + round + " close");
        return null;
    }

    private void exchange(IsolatedSerialQTV serial, int round, int device, int port) throws Exception {
        Family family = families[device];
        byte[] command = TaggedCommands.command(family, TaggedCommands.tag(round), 0x11);
        assertEquals(0, serial.envRS(port, command, command.length), "round " + round + " EnvRS");
        byte[] reply = new byte[Frames.REPLY_ROOM];
        int[] replyLength = {0};
        assertEquals(0, serial.recRS(port, reply, replyLength), "round " + round + " RecRS");
        assertNull(TaggedCommands.mismatch(family, command, Arrays.copyOf(reply, replyLength[0])));
    }

    // Every thread the round started has ended (a port's worker carries the
    // name of the thread that opened the port), and the process holds as
    // many threads and descriptors as before the first round.
    private static void assertSettled(int round, long threads, int descriptors) throws Exception {
        String left = ProcessResources.awaitSettled(List.of(ROUND_THREAD), threads, descriptors, SETTLE_TIMEOUT_MS);
        assertNull(left, () -> "round " + round + ": " + left);
    }

    private static void collectGarbage() throws InterruptedException {
        for (int i = 0; i < 3; i++) {
            System.gc();
            Thread.sleep(20);
        }
    }
}
