package com.tavrix.tools.comm;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

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

    private final Process process;
    private final Path link;
    private final Path log;

    private SoakInstrument(Process process, Path link, Path log) {
        this.process = process;
        this.link = link;
        this.log = log;
    }

    /** Starts the instrument; its log goes to `log`. */
    static SoakInstrument start(String portName, Family family, Path log, List<String> chaosOptions)
            throws IOException {
        List<String> command = new ArrayList<>(List.of(
                requiredEnv("INSTRUMENT_SIM"), "--family", family.name(), "--log", log.toString()));
        command.addAll(chaosOptions);
        Files.deleteIfExists(log);
        // stdin stays a pipe: the simulator ends with this VM even if close() is never reached.
        Process process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        String terminal = new BufferedReader(new InputStreamReader(
                process.getInputStream(), StandardCharsets.US_ASCII)).readLine();
        if (terminal == null) {
            process.destroyForcibly();
            throw new IOException("instrument-sim did not start: " + command);
        }
        Path folder = Path.of(requiredEnv("INSTRUMENT_LINKS"));
        Files.createDirectories(folder);
        Path link = folder.resolve(portName.replace(":", ""));
        Files.deleteIfExists(link);
        Files.createSymbolicLink(link, Path.of(terminal));
        return new SoakInstrument(process, link, log);
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
        process.destroy();
        try {
            if (!process.waitFor(2, TimeUnit.SECONDS)) {
                process.destroyForcibly();
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
        Files.deleteIfExists(link);
    }

    private static String requiredEnv(String name) {
        String value = System.getenv(name);
        if (value == null || value.isEmpty()) {
            throw new IllegalStateException(name + " is not set; run the soak through ctest or make soak");
        }
        return value;
    }
}
