package com.tavrix.tools;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import java.io.InputStream;


import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The library in VMs of their own (with -Xcheck:jni), where the test
 * chooses the environment, the class path and the library build: the
 * "OBX0:" notifications at load and after exit, sound routed by ALSA to a
 * file, and the exception of SetNonStandardBaudRate from a build whose
 * processor and bus are simulated.
 */
class SystemToolProcessTest {
    private static final String EXCEPTION = "javax.comm.UnsupportedCommOperationException";
    private static final String EXCEPTION_PATH = "javax/comm/UnsupportedCommOperationException";

    @TempDir
    Path folder;

    /** What a probe VM printed and how it ended. */
    private record Run(int status, Map<String, String> values, String output) {}

    private static String codeSourceOf(Class<?> type) throws Exception {
        return Path.of(type.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }

    private static String realLibraryDir() {
        return System.getProperty("java.library.path");
    }

    private static String simulatedLibraryDir() {
        String dir = System.getenv("MORVANE_SIMULATED_LIBRARY_DIR");
        assertTrue(dir != null, "MORVANE_SIMULATED_LIBRARY_DIR is not set");
        return dir;
    }

    private static String fullClassPath() throws Exception {
        return codeSourceOf(SystemTool.class) + java.io.File.pathSeparator + codeSourceOf(SystemToolProbe.class);
    }

    // The main classes and the probe alone: no exception class to find.
    private String classPathWithoutException() throws Exception {
        Path probeDir = folder.resolve("probe-only");
        Path probe = probeDir.resolve("com/tavrix/tools/SystemToolProbe.class");
        Files.createDirectories(probe.getParent());
        try (InputStream in = SystemToolProbe.class.getResourceAsStream("SystemToolProbe.class")) {
            Files.copy(in, probe);
        }
        return codeSourceOf(SystemTool.class) + java.io.File.pathSeparator + probeDir;
    }

    private Run probe(String classPath, String libraryDir, Map<String, String> environment, String... args)
            throws Exception {
        List<String> command = new ArrayList<>(List.of(
                Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-Xcheck:jni",
                "-Djava.library.path=" + libraryDir, "-cp", classPath, SystemToolProbe.class.getName()));
        command.addAll(List.of(args));
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        builder.environment().remove("WINCE_DEVICES");
        builder.environment().putAll(environment);
        Process process = builder.start();
        String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(process.waitFor(60, TimeUnit.SECONDS), "probe did not end");
        Map<String, String> values = new HashMap<>();
        for (String line : output.split("\n")) {
            int equals = line.indexOf('=');
            if (equals > 0) {
                values.put(line.substring(0, equals), line.substring(equals + 1));
            }
        }
        assertFalse(output.contains("WARNING in native method") || output.contains("FATAL ERROR"), output);
        // The VM's check of its own signal handlers: a native may not leave
        // one of them replaced.
        assertFalse(output.contains("handler modified"), output);
        return new Run(process.exitValue(), values, output);
    }

    @Test
    void driverHearsTheLoadAndAfterExitTheUnload() throws Exception {
        Path driver = folder.resolve("obx0");
        Files.writeString(driver, "");
        Run run = probe(fullClassPath(), realLibraryDir(), Map.of("WINCE_DEVICES", "OBX0:=" + driver),
                "load", driver.toString());
        assertEquals(0, run.status(), run.output());
        assertEquals("0x01040008|", run.values().get("loaded"), run.output());
        assertEquals("0x01040008\n0x01040004\n", Files.readString(driver));
    }

    // No "OBX0:" at all, and "OBX0:" mapped to where no driver is: the
    // library loads and its natives answer, and nothing is sent, created or
    // written there, neither at load nor at unload.
    @Test
    void withoutTheDriverTheLibraryStillLoads() throws Exception {
        Path absent = folder.resolve("absent");
        Run unmapped = probe(fullClassPath(), realLibraryDir(), Map.of(), "load", absent.toString());
        assertEquals(0, unmapped.status(), unmapped.output());
        assertTrue(unmapped.values().containsKey("clock"), unmapped.output());

        Run mapped = probe(fullClassPath(), realLibraryDir(), Map.of("WINCE_DEVICES", "OBX0:=" + absent), "load",
                absent.toString());
        assertEquals(0, mapped.status(), mapped.output());
        assertTrue(mapped.values().containsKey("clock"), mapped.output());
        assertEquals("absent", mapped.values().get("loaded"), mapped.output());
        assertFalse(Files.exists(absent), "the library made a driver file at unload");
    }

    @Test
    void soundReachesAlsaSynchronouslyAndAsynchronously() throws Exception {
        byte[] samples = new byte[3200];
        for (int i = 0; i < samples.length; i++) {
            samples[i] = (byte) (i * 7);
        }
        Path wave = Files.write(folder.resolve("beep.wav"), Waves.of(samples));
        Path played = folder.resolve("played.raw");
        // Default device: the file plugin on the null plugin. No mixer.
        Path config = Files.writeString(folder.resolve("asound.conf"),
                "pcm.!default { type file; slave.pcm { type null }; file \"" + played
                        + "\"; format \"raw\" }\nctl.!default { type hw; card 99 }\n");
        Run run = probe(fullClassPath(), realLibraryDir(), Map.of("ALSA_CONFIG_PATH", config.toString()),
                "sound", wave.toString(), played.toString(), Integer.toString(samples.length));
        assertEquals(0, run.status(), run.output());
        assertEquals("true", run.values().get("sync"), run.output());
        assertEquals(Integer.toString(samples.length), run.values().get("sync-bytes"), run.output());
        assertEquals("true", run.values().get("async"), run.output());
        assertEquals(Integer.toString(samples.length), run.values().get("async-bytes"), run.output());
        assertEquals(java.util.Arrays.toString(samples), java.util.Arrays.toString(Files.readAllBytes(played)));
        assertEquals("6", run.values().get("set-volume"), run.output());
        assertEquals("0", run.values().get("get-volume"), run.output());
    }

    private Run simulatedBaud(String classPath, String bus, int rate) throws Exception {
        return probe(classPath, simulatedLibraryDir(), Map.of("MORVANE_SIM_PROCESSOR", "PXA255", "MORVANE_SIM_BUS", bus),
                "baud", Integer.toString(rate));
    }

    @Test
    void simulatedUartRaisesTheExceptionWithItsExactMessage() throws Exception {
        Run refusedBlock = simulatedBaud(fullClassPath(), "refuse", 9600);
        assertEquals(EXCEPTION + ": " + EXCEPTION_PATH + ":  Unsupported Non Standard Baud Rate in InitializeRegisters",
                refusedBlock.values().get("thrown"), refusedBlock.output());

        Run refusedRate = simulatedBaud(fullClassPath(), "memory", 1_000_000);
        assertEquals(EXCEPTION + ": " + EXCEPTION_PATH + ":  Unsupported Baud Rate in nativeSetBaudBase",
                refusedRate.values().get("thrown"), refusedRate.output());

        Run written = simulatedBaud(fullClassPath(), "memory", 9600);
        assertEquals("1", written.values().get("result"), written.output());
    }

    // The VM checks its own signal handlers now and then (-Xcheck:jni); the
    // guarded register sequence must never show it another's, however often
    // and from however many threads it runs. probe() fails on its warning.
    @Test
    void guardedRegisterSequenceNeverReplacesTheVmHandlers() throws Exception {
        Run run = probe(fullClassPath(), simulatedLibraryDir(),
                Map.of("MORVANE_SIM_PROCESSOR", "SA1110", "MORVANE_SIM_BUS", "memory"), "baud-load", "20000", "3000");
        assertEquals(0, run.status(), run.output());
        assertEquals("0", run.values().get("failed"), run.output());
    }

    @Test
    void withoutTheExceptionClassNothingIsLeftPending() throws Exception {
        Run run = simulatedBaud(classPathWithoutException(), "refuse", 9600);
        assertEquals(0, run.status(), run.output());
        assertEquals("0", run.values().get("result"), run.output());
        assertFalse(run.values().containsKey("thrown"), run.output());
        // The VM's own description of the failed lookup.
        assertTrue(run.output().contains("NoClassDefFoundError") && run.output().contains(EXCEPTION_PATH),
                run.output());
    }
}
