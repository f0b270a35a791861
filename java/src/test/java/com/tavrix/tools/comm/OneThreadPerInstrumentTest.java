package com.tavrix.tools.comm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicIntegerArray;
import java.util.function.IntSupplier;
import org.junit.jupiter.api.Test;

/**
 * The natural Java design: one thread per instrument, each opening,
 * exchanging with and closing its own port over and over, all four at once.
 * Each open must give its thread a slot no other thread holds, each reply
 * must answer its own port's command, no call may outlast its design
 * timeout, and the process must end with the threads and descriptors it
 * started with and every device free.
 */
class OneThreadPerInstrumentTest {
    private static final long RUN_MS = 20_000;
    private static final int EXCHANGES_PER_OPENING = 2;
    /** An open: the 100 ms settling pause and the configuration. */
    private static final long OPEN_BOUND_MS = 2_000;
    /** Scheduling on a busy machine, beyond a call's design bound. */
    private static final long SLACK_MS = 500;
    /** A call this far past its bound is taken as hung and fails the test at once. */
    private static final long HANG_MARGIN_MS = 2_000;
    private static final long SETTLE_TIMEOUT_MS = 3_000;
    private static final int NO_OWNER = -1;

    private record Instrument(String portName, Family family, long timeoutMs) {
        String threadName() {
            return "instrument-" + portName.replace(":", "");
        }
    }

    private static final List<Instrument> INSTRUMENTS = List.of(
            new Instrument("COM1:", Family.QTVv1, 2_000),
            new Instrument("COM2:", Family.QTVv2, 2_000),
            new Instrument("COM3:", Family.KELT3B, 1_000),
            new Instrument("COM4:", Family.VX9, 1_000));

    /** For each slot, the thread that holds it now. */
    private final AtomicIntegerArray owners = new AtomicIntegerArray(new int[] {NO_OWNER, NO_OWNER, NO_OWNER, NO_OWNER});
    private final AtomicBoolean stop = new AtomicBoolean();

    @Test
    void fourThreadsEachOpeningExchangingWithAndClosingTheirOwnPort() throws Exception {
        List<InstrumentSim> sims = new ArrayList<>();
        try {
            for (Instrument instrument : INSTRUMENTS) {
                sims.add(InstrumentSim.start(instrument.portName(), instrument.family()));
            }
            System.gc();
            long threads = ProcessResources.threads();
            int descriptors = ProcessResources.descriptors();

            List<PortLoop> loops = runAll(System.nanoTime() + RUN_MS * 1_000_000L);
            List<String> failures = loops.stream().map(PortLoop::failure).filter(f -> f != null).toList();
            if (!failures.isEmpty()) {
                fail(String.join("\n", failures));
            }
            loops.forEach(loop -> System.out.println(loop.summary()));

            List<String> names = INSTRUMENTS.stream().map(Instrument::threadName).toList();
            String left = ProcessResources.awaitSettled(names, threads, descriptors, SETTLE_TIMEOUT_MS);
            assertNull(left, () -> "after the run: " + left);
            for (Instrument instrument : INSTRUMENTS) {
                assertOpensAgain(instrument);
            }
        } finally {
            stop.set(true);
            for (InstrumentSim sim : sims) {
                sim.close();
            }
        }
    }

    // Starts one thread per instrument and watches them until they end: a
    // call far past its bound fails the test here instead of blocking it.
    private List<PortLoop> runAll(long endNanos) throws InterruptedException {
        List<PortLoop> loops = new ArrayList<>();
        for (int i = 0; i < INSTRUMENTS.size(); i++) {
            loops.add(new PortLoop(i, INSTRUMENTS.get(i), endNanos));
        }
        loops.forEach(PortLoop::start);
        for (PortLoop loop : loops) {
            while (loop.isAlive()) {
                for (PortLoop watched : loops) {
                    String hung = watched.hungCall();
                    if (hung != null) {
                        stop.set(true);
                        fail(hung);
                    }
                }
                loop.join(100);
            }
        }
        return loops;
    }

    private static void assertOpensAgain(Instrument instrument) {
        int[] portIndex = {-1};
        int result = instrument.family().open(instrument.portName(), portIndex);
        Frames.assertResult(0, result, "open " + instrument.portName() + " after the run");
        byte[] command = TaggedCommands.command(instrument.family(), 0x21, 0x22);
        assertNull(TaggedCommands.mismatch(instrument.family(), command, Frames.exchange(portIndex[0], command)));
        assertNotEquals(0, SerialQTV.FermRS(portIndex[0]), "close " + instrument.portName() + " after the run");
    }

    /** One instrument's thread: open, exchange, close, until the run ends or a call fails. */
    private final class PortLoop implements Runnable {
        private final int id;
        private final Instrument instrument;
        private final long endNanos;
        private final Thread thread;
        private volatile String failure;
        // The call in progress, for the watchdog.
        private volatile String call;
        private volatile long callStart;
        private volatile long callBoundMs;
        private int openings;
        private int exchanges;
        private long longestOpenMs;
        private long longestExchangeMs;

        PortLoop(int id, Instrument instrument, long endNanos) {
            this.id = id;
            this.instrument = instrument;
            this.endNanos = endNanos;
            this.thread = new Thread(this, instrument.threadName());
            this.thread.setDaemon(true);  // a hung native call must not keep the VM alive
        }

        void start() {
            thread.start();
        }

        boolean isAlive() {
            return thread.isAlive();
        }

        void join(long milliseconds) throws InterruptedException {
            thread.join(milliseconds);
        }

        String failure() {
            return failure;
        }

        @Override
        public void run() {
            try {
                while (!stop.get() && System.nanoTime() < endNanos) {
                    cycle();
                }
            } catch (AssertionError | RuntimeException failed) {
                failure = instrument.threadName() + " (" + instrument.family() + "), opening " + (openings + 1)
                        + ": " + failed.getMessage();
                stop.set(true);
            }
        }

        private void cycle() {
            int[] portIndex = {-1};
            int result = timed("open", OPEN_BOUND_MS, () -> instrument.family().open(instrument.portName(), portIndex));
            Frames.assertResult(0, result, "open " + instrument.portName());
            int port = portIndex[0];
            if (port < 0 || port >= owners.length()) {
                fail("open gave index " + port);
            }
            if (!owners.compareAndSet(port, NO_OWNER, id)) {
                fail("open gave index " + port + ", which " + INSTRUMENTS.get(owners.get(port)).threadName()
                        + " holds");
            }
            openings++;
            for (int i = 0; i < EXCHANGES_PER_OPENING; i++) {
                exchange(port);
            }
            owners.set(port, NO_OWNER);  // before the close: the slot may be taken again at once
            assertNotEquals(0, timed("FermRS", OPEN_BOUND_MS, () -> SerialQTV.FermRS(port)), "FermRS");
        }

        private void exchange(int port) {
            Family family = instrument.family();
            byte[] command = TaggedCommands.command(family, TaggedCommands.tag(exchanges), TaggedCommands.tag(id));
            long timeout = instrument.timeoutMs();
            long start = System.nanoTime();
            // EnvRS makes up to 3 attempts; RecRS up to 4 waits and 3 resends.
            int sent = timed("EnvRS", 3 * timeout, () -> SerialQTV.EnvRS(port, command, command.length));
            Frames.assertResult(0, sent, "EnvRS");
            byte[] reply = new byte[Frames.REPLY_ROOM];
            int[] replyLength = {0};
            int received = timed("RecRS", 7 * timeout, () -> SerialQTV.RecRS(port, reply, replyLength));
            Frames.assertResult(0, received, "RecRS");
            assertNull(TaggedCommands.mismatch(family, command, Arrays.copyOf(reply, replyLength[0])));
            longestExchangeMs = Math.max(longestExchangeMs, (System.nanoTime() - start) / 1_000_000L);
            exchanges++;
        }

        private int timed(String name, long boundMs, IntSupplier action) {
            callBoundMs = boundMs;
            callStart = System.nanoTime();
            call = name;
            int result = action.getAsInt();
            call = null;
            long elapsedMs = (System.nanoTime() - callStart) / 1_000_000L;
            if (name.equals("open")) {
                longestOpenMs = Math.max(longestOpenMs, elapsedMs);
            }
            if (elapsedMs > boundMs + SLACK_MS) {
                fail(name + " took " + elapsedMs + " ms; its bound is " + boundMs + " ms");
            }
            return result;
        }

        /** The call in progress when it is far past its bound, else null. */
        String hungCall() {
            String name = call;
            long elapsedMs = (System.nanoTime() - callStart) / 1_000_000L;
            if (name == null || elapsedMs <= callBoundMs + HANG_MARGIN_MS) {
                return null;
            }
            return instrument.threadName() + " (" + instrument.family() + "): " + name + " has not returned after "
                    + elapsedMs + " ms; its bound is " + callBoundMs + " ms; openings done: " + openings;
        }

        String summary() {
            return instrument.threadName() + " " + instrument.family() + ": " + openings + " openings, " + exchanges
                    + " exchanges, longest open " + longestOpenMs + " ms, longest exchange " + longestExchangeMs
                    + " ms";
        }
    }
}
