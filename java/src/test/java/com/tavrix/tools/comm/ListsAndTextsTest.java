package com.tavrix.tools.comm;

import static com.tavrix.tools.comm.Frames.bytes;
import static com.tavrix.tools.comm.Frames.exchange;
import static com.tavrix.tools.comm.Frames.hex;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * The texts of result codes, and the port list with WINCE_DEVICES mapping
 * COM1: and COM2: (and nothing else) to two instrument simulators.
 */
class ListsAndTextsTest {

    @Test
    void libraryCodesHaveTheirFixedTexts() {
        assertEquals(" Communication timeout ", SerialQTV.ExpliciteLastError(100301));
        assertEquals(" Fail to open com port ", SerialQTV.ExpliciteLastError(100302));
        assertEquals(" Erreur inconnue ", SerialQTV.ExpliciteLastError(100000));
    }

    @Test
    void systemCodesGiveTheSystemTextWithoutItsLineEnd() {
        String success = SerialQTV.ExpliciteLastError(0);
        String notFound = SerialQTV.ExpliciteLastError(2);
        for (String text : List.of(success, notFound)) {
            assertFalse(text.isBlank(), "empty text");
            assertFalse(text.endsWith("\n") || text.endsWith("\r"), "line end left in: " + text);
        }
        assertNotEquals(success, notFound);
        // -1 has no system text; it never repeats the text of the lookup before it.
        assertEquals(" Erreur inconnue ", SerialQTV.ExpliciteLastError(-1));
        assertEquals(notFound, SerialQTV.ExpliciteLastError(2));
    }

    @Test
    void listsTheTwoMappedInstrumentsAndEachListedNameOpensItsOwn() throws Exception {
        try (InstrumentSim qtv2 = InstrumentSim.start("COM1:", Family.QTVv2);
                InstrumentSim kelt3b = InstrumentSim.start("COM2:", Family.KELT3B);
                OpenPorts ports = new OpenPorts()) {
            String[] listed = SerialQTV.EnumPortRS();
            assertArrayEquals(new String[] {"COM1:", "COM2:"}, portNames(listed));
            for (String element : listed) {
                assertTrue(element.matches("COM[12]: <.+>"), element);
            }
            // The same list again: never the first one appended.
            assertArrayEquals(listed, SerialQTV.EnumPortRS());

            int first = ports.open(Family.QTVv2, portNames(listed)[0]);
            assertEquals("80 F0 10 02 E0 01 63",
                    hex(exchange(first, bytes(0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21))));
            int second = ports.open(Family.KELT3B, portNames(listed)[1]);
            assertEquals("5A A5 01 03 01 02 03 20 20 20 20 20", hex(exchange(second, bytes(1, 2, 3))));
        }
    }

    @Test
    void aFailedOpenTellsWhyOnTheThreadThatOpened() throws Exception {
        int[] portIndex = {-1};
        assertEquals(2, SerialQTV.InitRS_VX9("COM3:", portIndex));
        assertEquals("open COM3: (no host device) failed, code 2: WINCE_DEVICES does not map this name;"
                + " add it to WINCE_DEVICES (COM1:=/dev/serial/by-id/...)", SerialQTV.LastOpenFailure());
        // Another thread has its own account.
        String[] elsewhere = {null};
        Thread other = new Thread(() -> elsewhere[0] = SerialQTV.LastOpenFailure());
        other.start();
        other.join();
        assertEquals("", elsewhere[0]);

        try (InstrumentSim sim = InstrumentSim.start("COM1:", Family.VX9);
                OpenPorts ports = new OpenPorts()) {
            int port = ports.open(Family.VX9, "COM1:");
            assertEquals("", SerialQTV.LastOpenFailure(), "after a successful open");
            assertEquals(5, SerialQTV.InitRS_VX9("COM1:", portIndex));
            String why = SerialQTV.LastOpenFailure();
            assertTrue(why.startsWith("open COM1: (") && why.contains("failed, code 5: the port is already open"),
                    why);
            ports.close(port);
        }
    }

    /** The device names of the elements, the part before the blank. */
    private static String[] portNames(String[] listed) {
        String[] names = new String[listed.length];
        for (int i = 0; i < listed.length; i++) {
            int blank = listed[i].indexOf(' ');
            names[i] = blank < 0 ? listed[i] : listed[i].substring(0, blank);
        }
        return names;
    }
}
