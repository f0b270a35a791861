package com.tavrix.tools;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import org.junit.jupiter.api.Test;

/** The real library in this VM, on this (desktop) machine. */
class SystemToolTest {
    @Test
    void clockFollowsNanoTimeAndNeverGoesBack() throws Exception {
        long startNanos = System.nanoTime();
        long startMillis = SystemTool.GetPreciseCurrentTimeMillis();
        Thread.sleep(200);
        long endMillis = SystemTool.GetPreciseCurrentTimeMillis();
        long endNanos = System.nanoTime();
        long elapsedByNanoTime = (endNanos - startNanos) / 1_000_000;
        assertTrue(Math.abs((endMillis - startMillis) - elapsedByNanoTime) <= 2,
                () -> (endMillis - startMillis) + " ms against " + elapsedByNanoTime + " ms");

        long previous = SystemTool.GetPreciseCurrentTimeMillis();
        for (int i = 0; i < 200_000; i++) {
            long now = SystemTool.GetPreciseCurrentTimeMillis();
            assertTrue(now >= previous, () -> "went back from " + previous);
        }
    }

    @Test
    void noSuchUartHereSoTheOverrideReturnsMinusOne() {
        assumeFalse(System.getProperty("os.arch").startsWith("arm")
                || System.getProperty("os.arch").startsWith("aarch"));
        assertEquals(-1, SystemTool.SetNonStandardBaudRate(9600));
        assertEquals(-1, SystemTool.SetNonStandardBaudRate(0));
    }

    @Test
    void missingSoundFilePlaysNothing() {
        assertFalse(SystemTool.PlaySound("/nonexistent/beep.wav", true));
        assertFalse(SystemTool.PlaySound("/nonexistent/beep.wav", false));
        assertFalse(SystemTool.PlaySound(null, true));
    }

    @Test
    void theDesktopRefusesToBeReset() {
        assertEquals(0, SystemTool.SoftReset());
        SystemTool.SystemIdleTimerReset();
    }
}
