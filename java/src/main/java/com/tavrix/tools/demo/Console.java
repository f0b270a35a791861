package com.tavrix.tools.demo;

import com.tavrix.tools.comm.SerialQTV;
import java.io.PrintStream;

/**
 * A console that shows the two native libraries at work: the port list, one
 * exchange per instrument family, and the system tools.
 *
 * <p>Without options it expects an instrument of each family behind COM1:
 * (QTVv1), COM2: (QTVv2), COM3: (KELT3B) and COM4: (VX9). Exit codes: 0 when
 * every exchange succeeded, 1 when an open or an exchange failed, 2 on a
 * wrong command line, 3 when the native library cannot be loaded.
 */
public final class Console {
    static final int EXIT_OK = 0;
    static final int EXIT_EXCHANGE_FAILED = 1;
    static final int EXIT_USAGE = 2;
    static final int EXIT_NO_LIBRARY = 3;

    private static final String USAGE = String.join("\n",
            "usage: tavrix-console                 the port list, one exchange per family on COM1: to COM4:,",
            "                                      then the system tools",
            "       tavrix-console --list          the port list only",
            "       tavrix-console --port PORT --family FAMILY [--send HEX] [--baud N]",
            "                                      one exchange with one instrument",
            "       tavrix-console --help | --version",
            "",
            "  PORT    a port name of the list (COM1:) or a host device (/dev/ttyUSB0,",
            "          /dev/serial/by-id/...) that the list shows",
            "  FAMILY  QTVv1, QTVv2, KELT3B or VX9, in any case",
            "  HEX     the command's bytes, \"80 F0 10 01 A0 21\" or \"80F01001A021\"",
            "          (default: a typical command of the family)",
            "  N       the QTVv1 line speed (default 9600)",
            "",
            "Environment: WINCE_DEVICES=COM1:=/dev/ttyUSB0,... names the ports (without it the",
            "host's serial ports are numbered COM1:, COM2:, ...); WINCE_OPEN_DIAGNOSTICS=1",
            "prints why each failed open failed.",
            "Exit: 0 all exchanges succeeded, 1 an open or exchange failed, 2 wrong command",
            "line, 3 the native library cannot be loaded.",
            "");

    private Console() {
    }

    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    static int run(String[] args, PrintStream out, PrintStream err) {
        try {
            return run(new Arguments(args), out);
        } catch (IllegalArgumentException e) {
            err.println("tavrix-console: " + e.getMessage());
            err.println("Try 'tavrix-console --help'.");
            return EXIT_USAGE;
        } catch (UnsatisfiedLinkError e) {
            err.println("tavrix-console: the native library cannot be loaded: " + e.getMessage());
            err.println("Install it (make install puts it on the VM's library path) or give its folder"
                    + " with -Djava.library.path=build/lib.");
            return EXIT_NO_LIBRARY;
        }
    }

    private static int run(Arguments arguments, PrintStream out) {
        if (arguments.help) {
            out.print(USAGE);
            return EXIT_OK;
        }
        if (arguments.version) {
            out.println("tavrix-natives " + version());
            return EXIT_OK;
        }
        String[] ports = SerialQTV.EnumPortRS();
        printPortList(out, ports);
        if (arguments.listOnly) {
            return EXIT_OK;
        }
        boolean succeeded;
        if (arguments.port != null) {
            String portName = HostPorts.portNameFor(arguments.port, ports);
            succeeded = new PortSession(out, arguments.family, portName, arguments.baudRate).run(arguments.command);
        } else {
            succeeded = runEveryFamily(out, arguments.baudRate);
            out.println();
            new SystemToolsSection(out).run();
        }
        out.println();
        out.println(succeeded ? "all exchanges succeeded" : "an exchange failed");
        return succeeded ? EXIT_OK : EXIT_EXCHANGE_FAILED;
    }

    /** The project version from the jar's manifest. */
    static String version() {
        String version = Console.class.getPackage().getImplementationVersion();
        return version != null ? version : "(unknown: not run from its jar)";
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

    private static void printPortList(PrintStream out, String[] ports) {
        out.println("Serial ports (EnumPortRS): " + ports.length);
        for (String port : ports) {
            out.println("  " + port);
        }
        if (ports.length == 0) {
            out.println("  none: plug an adapter in, or map a device: WINCE_DEVICES=COM1:=/dev/ttyUSB0");
        }
    }

    /** The command line, checked whole before any port is touched. */
    private static final class Arguments {
        boolean help;
        boolean version;
        boolean listOnly;
        String port;
        InstrumentFamily family;
        String send;
        byte[] command;
        int baudRate = InstrumentFamily.DEFAULT_QTV1_BAUD;

        Arguments(String[] args) {
            for (int i = 0; i < args.length; i++) {
                switch (args[i]) {
                    case "--help", "-h" -> help = true;
                    case "--version" -> version = true;
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
            if (family != null) {
                command = send != null ? sendBytes(send) : Hex.parse(family.typicalCommand);
            }
        }

        private static byte[] sendBytes(String text) {
            try {
                byte[] bytes = Hex.parse(text);
                if (bytes.length == 0) {
                    throw new IllegalArgumentException("no bytes");
                }
                return bytes;
            } catch (IllegalArgumentException e) {
                throw new IllegalArgumentException("--send \"" + text + "\": " + e.getMessage()
                        + " (write bytes in hex: \"80 F0 10 01 A0 21\" or \"80F01001A021\")");
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
                int rate = Integer.parseInt(text);
                if (rate > 0) {
                    return rate;
                }
            } catch (NumberFormatException e) {
                // reported below
            }
            throw new IllegalArgumentException("not a baud rate: " + text);
        }
    }
}
