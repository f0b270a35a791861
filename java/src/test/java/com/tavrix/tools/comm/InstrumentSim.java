package com.tavrix.tools.comm;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * One instrument-sim process on a pseudo-terminal, reachable by the library
 * under a port name ("COM1:"): WINCE_DEVICES maps that name to a link in the
 * folder INSTRUMENT_LINKS, and the link points at the simulator's terminal.
 */
final class InstrumentSim implements AutoCloseable {
    private final SimulatorProcess.Started sim;
    private final Path log;

    private InstrumentSim(SimulatorProcess.Started sim, Path log) {
        this.sim = sim;
        this.log = log;
    }

    /** Starts an instrument of the family behind portName, with extra simulator options. */
    static InstrumentSim start(String portName, Family family, String... options)
            throws IOException {
        Path log = Files.createTempFile("instrument-" + family, ".log");
        return new InstrumentSim(SimulatorProcess.start(portName, family, log, List.of(options)), log);
    }

    /** The commands the instrument received, as hex lines ("80 F0 10 01 A0 21"). */
    List<String> commandsReceived() throws IOException {
        return linesStartingWith("rx ");
    }

    /** The commands received once there are at least `count`, waiting up to 2 s for them. */
    List<String> commandsReceived(int count) throws IOException, InterruptedException {
        long deadline = System.nanoTime() + 2_000_000_000L;
        List<String> commands = commandsReceived();
        while (commands.size() < count && System.nanoTime() < deadline) {
            Thread.sleep(10);
            commands = commandsReceived();
        }
        return commands;
    }

    /** The bytes it sent (garbage and frame), as hex lines. */
    List<String> repliesSent() throws IOException {
        return linesStartingWith("tx ");
    }

    /** Waits until the simulator has ended by itself (after --hangup-after). */
    void waitForExit() throws InterruptedException {
        if (!sim.process().waitFor(5, TimeUnit.SECONDS)) {
            throw new IllegalStateException("instrument-sim is still running");
        }
    }

    @Override
    public void close() throws IOException {
        SimulatorProcess.stop(sim);
        Files.deleteIfExists(log);
    }

    private List<String> linesStartingWith(String prefix) throws IOException {
        List<String> lines = new ArrayList<>();
        for (String line : Files.readAllLines(log, StandardCharsets.US_ASCII)) {
            if (line.startsWith(prefix)) {
                lines.add(line.substring(prefix.length()));
            }
        }
        return lines;
    }
}
