package com.tavrix.tools.comm;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * The demo console as a user runs it, a process of its own, against
 * instrument-sim behind the ports WINCE_DEVICES maps: what it prints and
 * the exit code that tells a usage error (2) from a failed open or
 * exchange (1).
 */
class ConsoleProcessTest {
    private record Run(int exit, String out, String err) {
        String both() {
            return "exit " + exit + "\nstdout:\n" + out + "stderr:\n" + err;
        }
    }

    @Test
    void helpAndVersionNeedNoLibrary() throws Exception {
        Run help = console(Map.of(), false, "--help");
        assertEquals(0, help.exit(), help.both());
        assertTrue(help.out().startsWith("usage: tavrix-console"), help.both());
        assertTrue(help.out().contains("Exit: 0 all exchanges succeeded, 1 an open or exchange failed, 2 wrong"),
                help.both());

        Run version = console(Map.of(), false, "--version");
        assertEquals(0, version.exit(), version.both());
        assertEquals("tavrix-natives " + System.getenv("TAVRIX_VERSION") + "\n", version.out());
    }

    @Test
    void wrongCommandLinesAreRefusedBeforeAnyPortIsTouched() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.VX9)) {
            String[][] wrongLines = {
                {"--port", "COM1:", "--family", "VX9", "--send", "56 zz"},
                {"--port", "COM1:", "--family", "VX9", "--send", "-1"},
                {"--port", "COM1:", "--family", "VX9", "--send", "0x56"},
                {"--port", "COM1:", "--family", "VX9", "--send", "560"},
                {"--port", "COM1:", "--family", "VX9", "--send", " "},
                {"--port", "COM1:", "--family", "VX10"},
                {"--port", "COM1:"},
                {"--baud", "fast"},
                {"--frobnicate"},
            };
            for (String[] line : wrongLines) {
                Run run = console(Map.of(), true, line);
                assertEquals(2, run.exit(), String.join(" ", line) + "\n" + run.both());
                assertEquals("", run.out(), "the port list was asked for: " + String.join(" ", line));
                assertTrue(run.err().startsWith("tavrix-console: "), run.both());
            }
            assertEquals(List.of(), sim.commandsReceived());
            Run badHex = console(Map.of(), true, "--port", "COM1:", "--family", "VX9", "--send", "56 zz");
            assertTrue(badHex.err().startsWith("tavrix-console: --send \"56 zz\": not hex: zz"), badHex.both());
        }
    }

    @Test
    void hostPathOpensThePortThatTheListShows() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM2:", Family.VX9)) {
            String device = linkOf("COM2:").toRealPath().toString();
            Run run = console(Map.of(), true, "--port", device, "--family", "vx9", "--send", "56 01 02");
            assertEquals(0, run.exit(), run.both());
            assertTrue(run.out().contains("VX9 on COM2:"), run.both());
            assertTrue(run.out().contains("all exchanges succeeded"), run.both());
            assertEquals(List.of("56 01 02"), sim.commandsReceived());
        }
    }

    @Test
    void malformedMappingEntriesAreToldOnceAndTheOthersStillOpen() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.VX9)) {
            String devices = System.getenv("WINCE_DEVICES") + ",COM5:/dev/null,com1=/dev/null";
            Run run = console(Map.of("WINCE_DEVICES", devices), true,
                    "--port", "COM1:", "--family", "VX9", "--send", "56 01 02");
            // Listed, then opened: the variable was read once for both.
            assertEquals(0, run.exit(), run.both());
            assertTrue(run.out().contains("  COM1: <"), run.both());
            assertEquals(List.of("56 01 02"), sim.commandsReceived());
            String noEquals = "WINCE_DEVICES: ignoring \"COM5:/dev/null\": no '=' between the name and the path\n";
            String duplicate = "WINCE_DEVICES: ignoring \"com1=/dev/null\": com1: is already mapped by an earlier entry\n";
            assertEquals(1, occurrences(run.err(), noEquals), run.both());
            assertEquals(1, occurrences(run.err(), duplicate), run.both());
        }
    }

    private static int occurrences(String text, String line) {
        int count = 0;
        for (int at = text.indexOf(line); at >= 0; at = text.indexOf(line, at + 1)) {
            count++;
        }
        return count;
    }

    @Test
    void hostPathTheListDoesNotShowIsAUsageErrorThatSaysHowToMapIt() throws Exception {
        Run unlisted = console(Map.of(), true, "--port", "/dev/null", "--family", "VX9");
        assertEquals(2, unlisted.exit(), unlisted.both());
        assertTrue(unlisted.err().contains("/dev/null is not among the listed ports")
                && unlisted.err().contains("WINCE_DEVICES=COM1:=/dev/null"), unlisted.both());

        Run missing = console(Map.of(), true, "--port", "/dev/ttyNOWHERE9", "--family", "VX9");
        assertEquals(2, missing.exit(), missing.both());
        assertTrue(missing.err().contains("/dev/ttyNOWHERE9: no such device"), missing.both());
    }

    @Test
    void portInUseEndsInAMessageThatSaysWhatToDo() throws Exception {
        Path locks = Files.createTempDirectory("console-locks");
        try (InstrumentSim sim = InstrumentSim.start("COM3:", Family.VX9)) {
            String device = linkOf("COM3:").toRealPath().toString();
            Path lock = locks.resolve("LCK.." + device.substring("/dev/".length()).replace('/', '_'));
            long testVm = ProcessHandle.current().pid();
            Files.writeString(lock, String.format("%10d%n", testVm), StandardCharsets.US_ASCII);

            Run run = console(Map.of("WINCE_LOCK_DIR", locks.toString()), true, "--port", "COM3:", "--family", "VX9");
            assertEquals(1, run.exit(), run.both());
            assertTrue(run.out().contains("failed: 5 \"Access refused: either the user may not use the device"),
                    run.both());
            assertTrue(run.out().contains("why              open COM3: (")
                    && run.out().contains("process " + testVm)
                    && run.out().contains("holds the lock file " + lock)
                    && run.out().contains("close that program"), run.both());
            assertEquals(List.of(), sim.commandsReceived());
        } finally {
            try (var files = Files.list(locks)) {
                for (Path file : files.toList()) {
                    Files.delete(file);
                }
            }
            Files.delete(locks);
        }
    }

    @Test
    void failedExchangeExitsWithOne() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM4:", Family.VX9, "--silent")) {
            Run run = console(Map.of(), true, "--port", "COM4:", "--family", "VX9");
            assertEquals(1, run.exit(), run.both());
            assertTrue(run.out().contains("RecRS            failed: 100301"), run.both());
            assertTrue(run.out().endsWith("an exchange failed\n"), run.both());
        }
    }

    private static Path linkOf(String portName) {
        return Path.of(System.getenv("INSTRUMENT_LINKS")).resolve(portName.replace(":", ""));
    }

    /** Runs the console jar as a user would, with the library's folder or without it. */
    private static Run console(Map<String, String> environment, boolean withLibrary, String... args)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        if (withLibrary) {
            command.add("-Djava.library.path=" + System.getenv("TAVRIX_LIBRARY_DIR"));
        }
        command.addAll(List.of("-jar", System.getenv("TAVRIX_CONSOLE_JAR")));
        command.addAll(List.of(args));
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.environment().putAll(environment);
        Process process = builder.start();
        process.getOutputStream().close();
        CompletableFuture<String> out = readAll(process.getInputStream());
        CompletableFuture<String> err = readAll(process.getErrorStream());
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new IllegalStateException("the console did not end: " + command);
        }
        return new Run(process.exitValue(), out.join(), err.join());
    }

    private static CompletableFuture<String> readAll(java.io.InputStream stream) {
        return CompletableFuture.supplyAsync(() -> {
            try {
                return new String(stream.readAllBytes(), StandardCharsets.UTF_8);
            } catch (IOException e) {
                return "(unreadable: " + e + ")";
            }
        });
    }
}
