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
 * Starting and stopping an instrument-sim process behind a port name
 * ("COM1:"): WINCE_DEVICES maps that name to a link in the folder
 * INSTRUMENT_LINKS, and the link points at the simulator's terminal.
 */
final class SimulatorProcess {
    record Started(Process process, Path link) {}

    private SimulatorProcess() {}

    /** Starts the simulator of the family, logging to `log`, and links portName to its terminal. */
    static Started start(String portName, Family family, Path log, List<String> options) throws IOException {
        List<String> command = new ArrayList<>(List.of(
                requiredEnv("INSTRUMENT_SIM"), "--family", family.name(), "--log", log.toString()));
        command.addAll(options);
        // stdin stays a pipe: the simulator ends with this VM even if stop() is never reached.
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
        return new Started(process, link);
    }

    /** Ends the simulator (forcibly if it lingers) and removes its link. */
    static void stop(Started started) throws IOException {
        Process process = started.process();
        process.destroy();
        try {
            if (!process.waitFor(2, TimeUnit.SECONDS)) {
                process.destroyForcibly();
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        }
        Files.deleteIfExists(started.link());
    }

    private static String requiredEnv(String name) {
        String value = System.getenv(name);
        if (value == null || value.isEmpty()) {
            throw new IllegalStateException(name + " is not set; run the Java tests through ctest or make soak");
        }
        return value;
    }
}
