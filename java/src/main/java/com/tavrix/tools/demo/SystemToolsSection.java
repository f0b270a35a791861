package com.tavrix.tools.demo;

import com.tavrix.tools.SystemTool;
import java.io.PrintStream;

/**
 * The handheld system tools. SoftReset is never called: it would restart the
 * device. Without the Morvane library the section says so and the console
 * goes on.
 */
final class SystemToolsSection {
    private static final int CLOCK_PROBE_MS = 50;

    private final PrintStream out;

    SystemToolsSection(PrintStream out) {
        this.out = out;
    }

    void run() {
        out.println("System tools");
        try {
            showBaudRateOverride();
            showClock();
            out.println(row("GetVolume()", String.format("0x%08X", SystemTool.GetVolume())));
        } catch (LinkageError e) {
            out.println("  system tools not available (" + e + ")");
        }
    }

    // -1 on a host: its processor is neither of the two whose UART it knows.
    private void showBaudRateOverride() {
        String label = "SetNonStandardBaudRate(115200)";
        try {
            out.println(row(label, String.valueOf(SystemTool.SetNonStandardBaudRate(115200))));
        } catch (LinkageError e) {
            throw e;
        } catch (Throwable e) {
            // The native throws javax.comm.UnsupportedCommOperationException.
            out.println(row(label, "threw " + e));
        }
    }

    private void showClock() {
        long before = SystemTool.GetPreciseCurrentTimeMillis();
        long start = System.nanoTime();
        sleep(CLOCK_PROBE_MS);
        long advance = SystemTool.GetPreciseCurrentTimeMillis() - before;
        long elapsed = (System.nanoTime() - start) / 1_000_000;
        out.println(row("GetPreciseCurrentTimeMillis()",
                before + " ms, then +" + advance + " ms over " + elapsed + " ms"));
    }

    private static String row(String label, String value) {
        return String.format("  %-32s %s", label, value);
    }

    private static void sleep(int ms) {
        try {
            Thread.sleep(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
