package com.tavrix.tools.demo;

import com.tavrix.tools.comm.SerialQTV;
import java.io.PrintStream;

/**
 * A console that shows the two native libraries at work: the port list, one
 * exchange per instrument family, and the system tools.
 *
 * <p>Without options it expects an instrument of each family behind COM1:
 * (QTVv1), COM2: (QTVv2), COM3: (KELT3B) and COM4: (VX9). Exits 0 when every
 * exchange succeeded, 1 otherwise, 2 on a wrong command line.
 */
public final class Console {
    private static final String USAGE = String.join("\n",
            "usage: Console                 the port list, one exchange per family on COM1: to COM4:,",
            "                               then the system tools",
            "       Console --list          the port list only",
            "       Console --port COM1: --family QTVv2 [--send \"80 F0 10 01 A0 21\"] [--baud 9600]",
            "                               one exchange with one instrument (--baud: QTVv1 only)",
            "");

    private Console() {
    }

    public static void main(String[] args) {
        try {
            System.exit(run(new Arguments(args), System.out));
        } catch (IllegalArgumentException e) {
            System.err.println("console: " + e.getMessage());
            System.err.print(USAGE);
            System.exit(2);
        } catch (UnsatisfiedLinkError e) {
            System.err.println("console: the serial library cannot be loaded: " + e.getMessage());
            System.exit(1);
        }
    }

    private static int run(Arguments arguments, PrintStream out) {
        if (arguments.help) {
            out.print(USAGE);
            return 0;
        }
        printPortList(out);
        if (arguments.listOnly) {
            return 0;
        }
        boolean succeeded;
        if (arguments.port != null) {
            byte[] command = Hex.parse(arguments.send != null ? arguments.send : arguments.family.typicalCommand);
            succeeded = new PortSession(out, arguments.family, arguments.port, arguments.baudRate).run(command);
        } else {
            succeeded = runEveryFamily(out, arguments.baudRate);
            out.println();
            new SystemToolsSection(out).run();
        }
        out.println();
        out.println(succeeded ? "all exchanges succeeded" : "an exchange failed");
        return succeeded ? 0 : 1;
    }

    private static boolean runEveryFamily(PrintStream out, int baudRate) {
        boolean succeeded = true;
        InstrumentFamily[] families = InstrumentFamily.values();
        for (int i = 0; i < families.length; i++) {
            out.println();
            PortSession session = new PortSession(out, families[i], "COM" + (i + 1) + ":", baudRate);
            succeeded &= session.run(Hex.parse(families[i].typicalCommand));
        }
        return succeeded;
    }

    private static void printPortList(PrintStream out) {
        String[] ports = SerialQTV.EnumPortRS();
        out.println("Serial ports (EnumPortRS): " + ports.length);
        for (String port : ports) {
            out.println("  " + port);
        }
    }

    /** The command line. */
    private static final class Arguments {
        boolean help;
        boolean listOnly;
        String port;
        InstrumentFamily family;
        String send;
        int baudRate = InstrumentFamily.DEFAULT_QTV1_BAUD;

        Arguments(String[] args) {
            for (int i = 0; i < args.length; i++) {
                switch (args[i]) {
                    case "--help", "-h" -> help = true;
                    case "--list" -> listOnly = true;
                    case "--port" -> port = value(args, ++i, "--port");
                    case "--family" -> family = InstrumentFamily.named(value(args, ++i, "--family"));
                    case "--send" -> send = value(args, ++i, "--send");
                    case "--baud" -> baudRate = baud(value(args, ++i, "--baud"));
                    default -> throw new IllegalArgumentException("unknown option " + args[i]);
                }
            }
            if ((port == null) != (family == null)) {
                throw new IllegalArgumentException("--port and --family go together");
            }
            if (send != null && port == null) {
                throw new IllegalArgumentException("--send needs --port and --family");
            }
        }

        private static String value(String[] args, int index, String option) {
            if (index >= args.length) {
                throw new IllegalArgumentException(option + " needs a value");
            }
            return args[index];
        }

        private static int baud(String text) {
            try {
                return Integer.parseInt(text);
            } catch (NumberFormatException e) {
                throw new IllegalArgumentException("not a baud rate: " + text);
            }
        }
    }
}
