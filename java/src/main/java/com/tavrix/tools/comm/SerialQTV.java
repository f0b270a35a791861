package com.tavrix.tools.comm;

/**
 * The serial instrument link: up to four serial ports, each opened for one
 * instrument family, a command sent and its reply frame received.
 *
 * <p>Results are 0 for success, a platform error code below 100000, or
 * 100301 (communication timeout) and 100302 (all four ports in use);
 * {@link #ExpliciteLastError(int)} gives the text of any of them. Calls on
 * one port must come from one thread at a time.
 */
public class SerialQTV {
    static {
        System.loadLibrary("serialQTV");
    }

    /** Opens a QTVv1 port at the given speed; element 0 of portIndex receives the port index. */
    public static native int InitRS_QTVv1(int baudRate, String portName, int[] portIndex);

    /** Opens a QTVv2 port (4800 baud); element 0 of portIndex receives the port index. */
    public static native int InitRS_QTVv2(String portName, int[] portIndex);

    /** Opens a KELT3B port (19200 baud); element 0 of portIndex receives the port index. */
    public static native int InitRS_KELT3B(String portName, int[] portIndex);

    /** Opens a VX9 port (9600 baud); element 0 of portIndex receives the port index. */
    public static native int InitRS_VX9(String portName, int[] portIndex);

    /** Closes the port; nonzero when its last handle was closed. */
    public static native int FermRS(int port);

    /** The name with which the port was last opened, "" if never. */
    public static native String DonneNomPortRS(int port);

    /** Sends the first length bytes of message. */
    public static native int EnvRS(int port, byte[] message, int length);

    /** Waits for the reply frame; on success element 0 of replyLength holds its length. */
    public static native int RecRS(int port, byte[] reply, int[] replyLength);

    /** The serial ports the device declares, as "COM1: <description>". */
    public static native String[] EnumPortRS();

    /** The text of a result code. */
    public static native String ExpliciteLastError(int code);

    /**
     * Why the last open on the calling thread failed, in the host's terms:
     * the host device, the system's reason and the usual fix, as one line
     * ("open COM1: (/dev/ttyUSB0) failed, code 5: Permission denied; ...").
     * Empty when that open succeeded or the platform has nothing more to say
     * than the result code. Setting the environment variable
     * WINCE_OPEN_DIAGNOSTICS=1 prints the same line on stderr at each failed
     * open; by default nothing is printed.
     */
    public static native String LastOpenFailure();
}
