package com.tavrix.tools.comm;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/**
 * An instrument-sim in --chaos mode behind a port name, like InstrumentSim,
 * whose log is read as one entry per command it answered.
 */
final class SoakInstrument implements AutoCloseable {
    /**
     * One command as the instrument received it, and what it did about it;
     * sentAtNanos is the System.nanoTime at the reply's last byte, 0 if none went out.
     */
    record Entry(String command, String fault, int delayMs, int pieces, int garbage, String meant,
            long sentAtNanos) {
        /** The reply was lost on purpose: the library must not deliver it. */
        boolean lost() {
            return !fault.equals("none");
        }

        Entry sentAt(long nanos) {
            return new Entry(command, fault, delayMs, pieces, garbage, meant, nanos);
        }
    }

    private final SimulatorProcess.Started sim;
    private final Path log;

    private SoakInstrument(SimulatorProcess.Started sim, Path log) {
        this.sim = sim;
        this.log = log;
    }

    /** Starts the instrument; its log goes to `log`. */
    static SoakInstrument start(String portName, Family family, Path log, List<String> chaosOptions)
            throws IOException {
        Files.deleteIfExists(log);
        return new SoakInstrument(SimulatorProcess.start(portName, family, log, chaosOptions), log);
    }

    /** The commands answered so far, in the order received. */
    List<Entry> entries() throws IOException {
        List<Entry> entries = new ArrayList<>();
        String command = null;
        String[] chaos = null;
        for (String line : Files.readAllLines(log, StandardCharsets.US_ASCII)) {
            if (line.startsWith("rx ")) {
                command = line.substring(3);
            } else if (line.startsWith("chaos ")) {
                chaos = line.substring(6).split(" ");
            } else if (line.startsWith("meant ") && command != null && chaos != null) {
                entries.add(new Entry(command, field(chaos, "fault"), Integer.parseInt(field(chaos, "delay")),
                        Integer.parseInt(field(chaos, "pieces")), Integer.parseInt(field(chaos, "garbage")),
                        line.substring(6), 0));
                command = null;
                chaos = null;
            } else if (line.startsWith("sent-at ") && !entries.isEmpty()) {
                int last = entries.size() - 1;
                entries.set(last, entries.get(last).sentAt(Long.parseLong(line.substring(8))));
            }
        }
        return entries;
    }

    private static String field(String[] words, String name) {
        for (String word : words) {
            if (word.startsWith(name + "=")) {
                return word.substring(name.length() + 1);
            }
        }
        throw new IllegalStateException("no " + name + " in the chaos line");
    }

    @Override
    public void close() throws IOException {
        SimulatorProcess.stop(sim);
    }
}
