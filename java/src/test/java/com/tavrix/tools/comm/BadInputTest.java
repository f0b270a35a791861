package com.tavrix.tools.comm;

import static com.tavrix.tools.comm.Frames.bytes;
import static com.tavrix.tools.comm.Frames.exchange;
import static com.tavrix.tools.comm.Frames.hex;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * Arguments the library refuses: nothing is sent, no array is overrun, the
 * VM reports no JNI misuse, and the port goes on working. Cases that need
 * the libraries' stderr or another library build run in a VM of their own
 * (BadInputProbe).
 */
class BadInputTest {
    private static final int ERROR_FILE_NOT_FOUND = 2;
    private static final int ERROR_INVALID_HANDLE = 6;
    private static final int ERROR_INVALID_PARAMETER = 87;
    private static final int ERROR_INSUFFICIENT_BUFFER = 122;
    private static final int ERROR_INVALID_NAME = 123;
    private static final int ERR_RS_TIMEOUT = 100301;
    private static final String UNKNOWN_CODE_TEXT = " Erreur inconnue ";

    private final OpenPorts ports = new OpenPorts();

    @AfterEach
    void closePorts() {
        ports.close();
    }

    @Test
    void portIndicesOutsideTheTableAreRefused() {
        for (int port : new int[] {-1, 4, Integer.MAX_VALUE, Integer.MIN_VALUE}) {
            byte[] message = bytes(1, 2, 3);
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, message, message.length));
            int[] replyLength = {0};
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(port, new byte[Frames.REPLY_ROOM], replyLength));
            assertEquals(0, replyLength[0]);
            assertEquals(0, SerialQTV.FermRS(port));
            assertEquals("", SerialQTV.DonneNomPortRS(port));
        }
    }

    @Test
    void aPortThatIsNotOpenAnswersWithTheInvalidHandleCode() {
        byte[] message = bytes(1, 2, 3);
        assertEquals(ERROR_INVALID_HANDLE, SerialQTV.EnvRS(2, message, message.length));
        byte[] reply = bytes(0x11, 0x11);
        int[] replyLength = {2};
        assertEquals(ERROR_INVALID_HANDLE, SerialQTV.RecRS(2, reply, replyLength));
        assertEquals(2, replyLength[0]);
        assertEquals("11 11", hex(reply));
    }

    @Test
    void messageLengthsOutsideTheMessageOrTheSendBufferAreRefused() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B)) {
            int port = ports.open(Family.KELT3B, "COM1:");
            byte[] full = new byte[300];
            for (int length : new int[] {-1, 256, 300, Integer.MAX_VALUE, Integer.MIN_VALUE}) {
                assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, full, length), "length " + length);
            }
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, bytes(1, 2, 3), 4));
            assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(port, new byte[0], 1));
            assertEquals(List.of(), sim.commandsReceived());

            // The bounds themselves are accepted.
            assertEquals(0, SerialQTV.EnvRS(port, bytes(1, 2, 3), 0));
            byte[] longest = new byte[255];
            longest[0] = 0x41;
            assertEquals(0, SerialQTV.EnvRS(port, longest, 255));
            byte[] reply = new byte[Frames.REPLY_ROOM];
            int[] replyLength = {0};
            assertEquals(0, SerialQTV.RecRS(port, reply, replyLength));
            assertEquals("5A A5 01 FF 41 00 00 00 00 00 00 00", hex(Arrays.copyOf(reply, replyLength[0])));
            assertEquals("5A A5 02 03 0A 0B 0C 20 20 20 20 20", hex(exchange(port, bytes(0x0A, 0x0B, 0x0C))));
        }
    }

    @Test
    void namesTooLongOrWithAZeroInsideAreRefusedAndOpenNothing() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.VX9)) {
            int first = ports.open(Family.VX9, "COM1:");
            int[] portIndex = {-1};
            // Nine characters are not too long: the name is looked up (and not found).
            assertEquals(ERROR_FILE_NOT_FOUND, SerialQTV.InitRS_VX9("COM12345:", portIndex));
            assertEquals(first + 1, portIndex[0]);
            ports.close(first);

            // Cut at the zero or at nine characters, each would name COM1:.
            List<String> refused = List.of("COM123456:", "COM1:" + "1".repeat(295), "COM1:\0", "COM1:\0\0\0\0",
                    "\0COM1:", "CO\0M1:");
            for (String name : refused) {
                portIndex[0] = -1;
                assertEquals(ERROR_INVALID_NAME, SerialQTV.InitRS_VX9(name, portIndex), name.length() + " chars");
                assertEquals(first, portIndex[0]);
            }
            portIndex[0] = -1;
            assertEquals(ERROR_FILE_NOT_FOUND, SerialQTV.InitRS_VX9("", portIndex));
            assertEquals(first, portIndex[0]);

            // No slot was claimed and the device is free.
            assertEquals(first, ports.open(Family.VX9, "COM1:"));
            assertEquals("00 01 02 01 01 09 20 20 20 20 20 20 20", hex(exchange(first, bytes(9))));
        }
    }

    @Test
    void missingNamesAndArraysAreRefused() {
        for (Family family : Family.values()) {
            int[] portIndex = {-1};
            assertEquals(ERROR_INVALID_PARAMETER, family.open(null, portIndex), family + " null name");
            assertEquals(-1, portIndex[0]);
            assertEquals(ERROR_INVALID_PARAMETER, family.open("COM1:", null), family + " null index array");
            assertEquals(ERROR_INVALID_PARAMETER, family.open("COM1:", new int[0]), family + " empty index array");
            assertEquals(ERROR_INVALID_PARAMETER, family.open(null, null), family + " both null");
        }
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.EnvRS(0, null, 0));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(0, null, new int[] {0}));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(0, new byte[Frames.REPLY_ROOM], null));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(0, new byte[Frames.REPLY_ROOM], new int[0]));
        assertEquals(ERROR_INVALID_PARAMETER, SerialQTV.RecRS(0, null, null));
    }

    /** A command of each family and the length of its reply frame. */
    private record Probe(Family family, String portName, byte[] command, int frameLength) {}

    private static final List<Probe> PROBES = List.of(
            new Probe(Family.QTVv1, "COM1:", bytes(0x78, 0x12, 0x34, 0x05), 8),
            new Probe(Family.QTVv2, "COM2:", Frames.qtv2Command(0xA0, 0x01), 8),
            new Probe(Family.KELT3B, "COM3:", bytes(7), 12),
            new Probe(Family.VX9, "COM4:", bytes(7), 13));

    @Test
    void replyArraysShorterThanTheFrameAreRefusedAndLeftIntact() throws Exception {
        List<InstrumentSim> sims = new ArrayList<>();
        try {
            for (Probe probe : PROBES) {
                sims.add(InstrumentSim.start(probe.portName(), probe.family()));
            }
            for (Probe probe : PROBES) {
                int port = ports.open(probe.family(), probe.portName());
                for (int size : new int[] {0, 3, probe.frameLength() - 1}) {
                    // Neither cell value is taken as a count to copy back.
                    for (int cell : new int[] {-5, size + 100}) {
                        String what = probe.family() + " array of " + size + ", cell " + cell;
                        assertEquals(0, SerialQTV.EnvRS(port, probe.command(), probe.command().length), what);
                        byte[] small = new byte[size];
                        Arrays.fill(small, (byte) 0x11);
                        int[] replyLength = {cell};
                        assertEquals(ERROR_INSUFFICIENT_BUFFER, SerialQTV.RecRS(port, small, replyLength), what);
                        assertEquals(cell, replyLength[0], what);
                        assertTrue(allBytesAre(small, 0x11), what);
                    }
                }
                // An exact fit is taken, whatever the cell held.
                assertEquals(0, SerialQTV.EnvRS(port, probe.command(), probe.command().length));
                byte[] exact = new byte[probe.frameLength()];
                int[] replyLength = {-5};
                assertEquals(0, SerialQTV.RecRS(port, exact, replyLength), probe.family() + " exact fit");
                assertEquals(probe.frameLength(), replyLength[0]);
                assertEquals(probe.frameLength(), exchange(port, probe.command()).length);
            }
        } finally {
            for (InstrumentSim sim : sims) {
                sim.close();
            }
        }
    }

    @Test
    void aReplyArrayTooSmallWithALengthCellBeyondItIsLeftIntact() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B)) {
            int port = ports.open(Family.KELT3B, "COM1:");
            byte[] command = bytes(7);
            assertEquals(0, SerialQTV.EnvRS(port, command, command.length));
            byte[] small = bytes(0x11, 0x11, 0x11, 0x11, 0x11);
            int[] replyLength = {500};
            assertEquals(ERROR_INSUFFICIENT_BUFFER, SerialQTV.RecRS(port, small, replyLength));
            assertEquals("11 11 11 11 11", hex(small));
            assertEquals(500, replyLength[0]);
            // The port still serves the next exchange.
            assertEquals("5A A5 02 01 08 20 20 20 20 20 20 20", hex(exchange(port, bytes(8))));
        }
    }

    /**
     * After a timeout the cell's value is the copy-back count: a negative one
     * or one past the array copies nothing and changes nothing.
     */
    @Test
    void aTimeoutWithALengthCellOutsideTheArrayChangesNothing() throws Exception {
        try (InstrumentSim kelt = InstrumentSim.start("COM1:", Family.KELT3B, "--silent");
                InstrumentSim vx9 = InstrumentSim.start("COM2:", Family.VX9, "--silent")) {
            int keltPort = ports.open(Family.KELT3B, "COM1:");
            int vx9Port = ports.open(Family.VX9, "COM2:");
            ExecutorService threads = Executors.newFixedThreadPool(2);
            try {
                // Different ports are independent: both 4 s waits run at once.
                Future<int[]> negative = threads.submit(timedOut(keltPort, -5));
                Future<int[]> pastTheEnd = threads.submit(timedOut(vx9Port, 21));
                assertArrayEquals(new int[] {ERR_RS_TIMEOUT, -5, 1}, negative.get());
                assertArrayEquals(new int[] {ERR_RS_TIMEOUT, 21, 1}, pastTheEnd.get());
            } finally {
                threads.shutdownNow();
            }
            // The first send and three resends.
            assertEquals(4, kelt.commandsReceived(4).size());
            assertEquals(4, vx9.commandsReceived(4).size());
        }
    }

    /** {result, cell afterwards, 1 when the 20-byte reply array is unchanged}. */
    private static Callable<int[]> timedOut(int port, int cell) {
        return () -> {
            byte[] command = bytes(0x42);
            assertEquals(0, SerialQTV.EnvRS(port, command, command.length));
            byte[] reply = new byte[20];
            Arrays.fill(reply, (byte) 0x11);
            int[] replyLength = {cell};
            int result = SerialQTV.RecRS(port, reply, replyLength);
            return new int[] {result, replyLength[0], allBytesAre(reply, 0x11) ? 1 : 0};
        };
    }

    private static boolean allBytesAre(byte[] bytes, int value) {
        for (byte b : bytes) {
            if (b != (byte) value) {
                return false;
            }
        }
        return true;
    }

    @Test
    void codesWithoutATextGetTheUnknownCodeTextFromManyThreadsAtOnce() throws Exception {
        int[] codes = {Integer.MIN_VALUE, -1, 99999, Integer.MAX_VALUE, 2, 87, 100301, 0};
        String[] expected = new String[codes.length];
        for (int i = 0; i < codes.length; i++) {
            expected[i] = SerialQTV.ExpliciteLastError(codes[i]);
        }
        for (int i = 0; i < 4; i++) {
            assertEquals(UNKNOWN_CODE_TEXT, expected[i], "code " + codes[i]);
        }
        assertNotEquals(UNKNOWN_CODE_TEXT, expected[4]);
        assertNotEquals(expected[4], expected[5]);
        // The texts share one buffer in the library: no caller sees another's.
        runOnThreads(4, thread -> {
            for (int n = 0; n < 20_000; n++) {
                int i = (n + thread) % codes.length;
                assertEquals(expected[i], SerialQTV.ExpliciteLastError(codes[i]), "code " + codes[i]);
            }
        });
    }

    @Test
    void thePortListIsTheSameOnEveryCallFromManyThreadsAtOnce() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.KELT3B)) {
            String[] first = SerialQTV.EnumPortRS();
            assertTrue(Arrays.stream(first).anyMatch(port -> port.startsWith("COM1: ")), Arrays.toString(first));
            runOnThreads(4, thread -> {
                for (int n = 0; n < 2_000; n++) {
                    assertArrayEquals(first, SerialQTV.EnumPortRS());
                }
            });
        }
    }

    private interface ThreadBody {
        void run(int thread) throws Exception;
    }

    private static void runOnThreads(int count, ThreadBody body) throws Exception {
        ExecutorService threads = Executors.newFixedThreadPool(count);
        try {
            List<Future<?>> done = new ArrayList<>();
            for (int thread = 0; thread < count; thread++) {
                int number = thread;
                done.add(threads.submit(() -> {
                    body.run(number);
                    return null;
                }));
            }
            for (Future<?> future : done) {
                future.get();
            }
        } finally {
            threads.shutdownNow();
        }
    }

    @Test
    void qtv1RatesNoLineRunsAtFailInSetCommStateAndThePortStillOpens() throws Exception {
        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.QTVv1)) {
            BadInputProbe.Run run = BadInputProbe.run(BadInputProbe.libraryDir(), Map.of(),
                    "open", "COM1:", "0", "-1", Integer.toString(Integer.MIN_VALUE));
            for (String rate : List.of("0", "-1", Integer.toString(Integer.MIN_VALUE))) {
                // The refused open holds slot 0 until FermRS frees it.
                assertEquals(ERROR_INVALID_PARAMETER + ",0", run.value("open." + rate), run.output());
            }
            assertEquals(3, run.linesEqualTo("InitialiserRS232: Erreur SetCommState"), run.output());
            assertEquals("0,0", run.value("open.9600"), run.output());
            assertEquals(List.of(), sim.commandsReceived());
        }
    }

    @Test
    void nonStandardRatesOfZeroOrBelowAreRefusedOnEveryProcessor() throws Exception {
        String[] rates = {"baud", "0", "-1", Integer.toString(Integer.MIN_VALUE)};
        // No such UART on this machine: -1 before the rate is looked at.
        BadInputProbe.Run host = BadInputProbe.run(BadInputProbe.libraryDir(), Map.of(), rates);
        for (int i = 1; i < rates.length; i++) {
            assertEquals("-1", host.value("baud." + rates[i]), host.output());
        }
        String refused = "thrown javax.comm.UnsupportedCommOperationException: "
                + "javax/comm/UnsupportedCommOperationException:  Unsupported Baud Rate in nativeSetBaudBase";
        for (String processor : List.of("SA1110", "PXA255")) {
            BadInputProbe.Run simulated = BadInputProbe.run(BadInputProbe.simulatedLibraryDir(),
                    Map.of("MORVANE_SIM_PROCESSOR", processor, "MORVANE_SIM_BUS", "memory"), rates);
            for (int i = 1; i < rates.length; i++) {
                assertEquals(refused, simulated.value("baud." + rates[i]), processor + "\n" + simulated.output());
            }
        }
    }
}
