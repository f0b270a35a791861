package com.tavrix.tools;

/**
 * Services of the handheld: soft reset, sound, idle timer, wave volume, a
 * millisecond clock, and a non-standard baud rate forced on the processor's
 * UART. Loading the class loads the library, which tells the device's
 * "OBX0:" driver that it was loaded (and, at unload, once any sound still
 * playing has been stopped, that it goes).
 */
public class SystemTool {
    static {
        System.loadLibrary("Morvane");
    }

    /**
     * On the handheld, asks the kernel to restart the device: nonzero when it
     * accepted (the device then restarts and the call does not return). On a
     * Linux host it is refused and returns 0: restarting the machine that
     * runs the VM is never what a desktop caller wants.
     */
    public static native int SoftReset();

    /**
     * Plays a WAV file; synchronous waits for its end, otherwise it plays on
     * while the call returns. False when the file or the sound device fails,
     * and for a null name. Only a regular file is played: a FIFO or a device
     * node gives false at once, without being opened.
     */
    public static native boolean PlaySound(String fileName, boolean synchronous);

    /** Restarts the countdown after which the idle device would suspend. */
    public static native void SystemIdleTimerReset();

    /** The wave volume: left level in the low 16 bits, right in the high 16; 0 when it cannot be read. */
    public static native int GetVolume();

    /** Sets the wave volume as GetVolume packs it; 0 on success, else the platform's error code. */
    public static native int SetVolume(int volume);

    /** Milliseconds of the high-resolution counter, from its own origin (not wall-clock time). */
    public static native long GetPreciseCurrentTimeMillis();

    /**
     * Writes the divisor for baudRate into the UART of an SA-1110 or a PXA
     * processor: 1 when written, -1 on any other processor. Throws
     * javax.comm.UnsupportedCommOperationException (when that class is on the
     * class path) when the UART cannot be reached or cannot run at that rate.
     */
    public static native int SetNonStandardBaudRate(int baudRate);
}
