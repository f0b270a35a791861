package com.tavrix.tools.demo;

import com.tavrix.tools.comm.SerialQTV;
import java.io.PrintStream;

/** One port's round: open, send a command, print the reply, close. */
final class PortSession {
    /** Room for the longest reply frame of any family. */
    private static final int REPLY_ROOM = 300;

    private final PrintStream out;
    private final InstrumentFamily family;
    private final String portName;
    private final int baudRate;

    PortSession(PrintStream out, InstrumentFamily family, String portName, int baudRate) {
        this.out = out;
        this.family = family;
        this.portName = portName;
        this.baudRate = baudRate;
    }

    /** True when the port opened and the command got its reply. */
    boolean run(byte[] command) {
        String speed = family == InstrumentFamily.QTVv1 ? " at " + baudRate + " baud" : "";
        out.println(family + " on " + portName + speed);
        if (family == InstrumentFamily.QTVv2) {
            warnOnWrongChecksum(command);
        }
        int[] portIndex = {-1};
        int opened = family.open(portName, baudRate, portIndex);
        if (!succeeded(family.openNative(), opened)) {
            printWhyTheOpenFailed();
            return false;
        }
        out.println(row(family.openNative(), "port " + portIndex[0]));
        boolean exchanged = exchange(portIndex[0], command);
        out.println(row("DonneNomPortRS", SerialQTV.DonneNomPortRS(portIndex[0])));
        out.println(row("FermRS", String.valueOf(SerialQTV.FermRS(portIndex[0]))));
        return exchanged;
    }

    private boolean exchange(int port, byte[] command) {
        long start = System.nanoTime();
        out.println(row("sent", Hex.format(command)));
        if (!succeeded("EnvRS", SerialQTV.EnvRS(port, command, command.length))) {
            return false;
        }
        byte[] reply = new byte[REPLY_ROOM];
        int[] replyLength = {0};
        int received = SerialQTV.RecRS(port, reply, replyLength);
        double ms = (System.nanoTime() - start) / 1e6;
        if (!succeeded("RecRS", received)) {
            return false;
        }
        out.println(row("received", Hex.format(reply, replyLength[0])));
        out.println(row("took", String.format("%.1f ms (%d bytes)", ms, replyLength[0])));
        return true;
    }

    private boolean succeeded(String call, int code) {
        if (code == 0) {
            return true;
        }
        out.println(row(call, "failed: " + code + " \"" + SerialQTV.ExpliciteLastError(code) + "\""));
        return false;
    }

    // The host's account: its device, the system's reason and the fix.
    private void printWhyTheOpenFailed() {
        String why;
        try {
            why = SerialQTV.LastOpenFailure();
        } catch (UnsatisfiedLinkError e) {
            return;  // a library that does not tell
        }
        if (!why.isEmpty()) {
            out.println(row("why", why));
        }
    }

    private void warnOnWrongChecksum(byte[] command) {
        if (command.length < 2) {
            return;
        }
        int sum = 0;
        for (int i = 0; i < command.length - 1; i++) {
            sum += command[i] & 0xFF;
        }
        int last = command[command.length - 1] & 0xFF;
        if ((sum & 0xFF) != last) {
            out.println(String.format("  note: the last byte is %02X, the checksum would be %02X", last, sum & 0xFF));
        }
    }

    static String row(String label, String value) {
        return String.format("  %-16s %s", label, value);
    }
}
