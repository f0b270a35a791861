package com.tavrix.tools.comm;

import com.tavrix.tools.SystemTool;
import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * Runs in a VM of its own for BadInputTest, where the test reads what the
 * libraries print on stderr and chooses the library build. Prints one
 * "key=value" line per call.
 *
 * <pre>
 * open PORT RATE...   InitRS_QTVv1 at each rate, then at 9600 to show the port still opens
 * baud RATE...        SetNonStandardBaudRate at each rate
 * </pre>
 */
public final class BadInputProbe {
    private BadInputProbe() {}

    /** What a probe VM printed, stdout and stderr together. */
    record Run(Map<String, String> values, String output) {
        String value(String key) {
            return values.get(key);
        }

        long linesEqualTo(String text) {
            return output.lines().filter(text::equals).count();
        }
    }

    /** The folder of the libraries this VM loaded. */
    static String libraryDir() {
        return System.getProperty("java.library.path");
    }

    /** The Morvane whose processor and bus are simulated, beside the real one. */
    static String simulatedLibraryDir() {
        String dir = System.getenv("MORVANE_SIMULATED_LIBRARY_DIR");
        return dir != null ? dir : Path.of(libraryDir(), "simulated").toString();
    }

    /**
     * Runs the probe with -Xcheck:jni, this VM's environment plus `environment`,
     * and the libraries of `libraryDir`. Fails when the probe does not end
     * with status 0 within 60 s or when the VM reports a JNI misuse or a
     * warning of its own.
     */
    static Run run(String libraryDir, Map<String, String> environment, String... args) throws Exception {
        if (!Files.isDirectory(Path.of(libraryDir))) {
            throw new IllegalStateException("no library folder " + libraryDir);
        }
        List<String> command = new ArrayList<>(List.of(
                Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-Xcheck:jni",
                "-Djava.library.path=" + libraryDir, "-cp", classPath(), BadInputProbe.class.getName()));
        command.addAll(List.of(args));
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        builder.environment().putAll(environment);
        Process process = builder.start();
        String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new AssertionError("probe did not end:\n" + output);
        }
        if (process.exitValue() != 0 || output.contains("WARNING") || output.contains("Warning:")
                || output.contains("FATAL ERROR")) {
            throw new AssertionError("probe ended with " + process.exitValue() + ":\n" + output);
        }
        Map<String, String> values = new HashMap<>();
        for (String line : output.split("\n")) {
            int equals = line.indexOf('=');
            if (equals > 0) {
                values.put(line.substring(0, equals), line.substring(equals + 1));
            }
        }
        return new Run(values, output);
    }

    private static String classPath() throws Exception {
        return codeSourceOf(SerialQTV.class) + File.pathSeparator + codeSourceOf(BadInputProbe.class);
    }

    private static String codeSourceOf(Class<?> type) throws Exception {
        return Path.of(type.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }

    public static void main(String[] args) {
        switch (args[0]) {
            case "open" -> open(args[1], rates(args));
            case "baud" -> baud(rates(args));
            default -> throw new IllegalArgumentException(args[0]);
        }
    }

    private static int[] rates(String[] args) {
        int first = args[0].equals("open") ? 2 : 1;
        int[] rates = new int[args.length - first];
        for (int i = 0; i < rates.length; i++) {
            rates[i] = Integer.parseInt(args[first + i]);
        }
        return rates;
    }

    // A refused rate leaves the slot held with the device open: FermRS frees it.
    private static void open(String portName, int[] rates) {
        for (int rate : rates) {
            int[] portIndex = {-1};
            int result = SerialQTV.InitRS_QTVv1(rate, portName, portIndex);
            System.out.println("open." + rate + "=" + result + "," + portIndex[0]);
            // Lets the message box line reach stderr before the next key.
            System.err.flush();
            if (portIndex[0] >= 0 && portIndex[0] < 4) {
                SerialQTV.FermRS(portIndex[0]);
            }
        }
        int[] portIndex = {-1};
        System.out.println("open.9600=" + SerialQTV.InitRS_QTVv1(9600, portName, portIndex) + "," + portIndex[0]);
        SerialQTV.FermRS(portIndex[0]);
    }

    private static void baud(int[] rates) {
        for (int rate : rates) {
            try {
                System.out.println("baud." + rate + "=" + SystemTool.SetNonStandardBaudRate(rate));
            } catch (Throwable thrown) {
                System.out.println("baud." + rate + "=thrown " + thrown.getClass().getName() + ": "
                        + thrown.getMessage());
            }
        }
    }
}
