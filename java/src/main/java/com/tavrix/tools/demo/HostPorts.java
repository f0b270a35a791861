package com.tavrix.tools.demo;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Host devices given where the libraries want a port name: the port list
 * shows each port's host path ("COM3: &lt;FTDI FT232R USB UART (/dev/ttyUSB0)&gt;"),
 * so a path that the list shows, under any of its names, opens as that port.
 */
final class HostPorts {
    private HostPorts() {
    }

    /** The port name to open for `port`: itself unless it is a host path. */
    static String portNameFor(String port, String[] listed) {
        if (!port.startsWith("/")) {
            return port;
        }
        Path device = Path.of(port);
        if (!Files.exists(device)) {
            throw new IllegalArgumentException(port + ": no such device (is the adapter plugged in?"
                    + " ls -l /dev/serial/by-id lists the USB adapters)");
        }
        for (String element : listed) {
            String path = hostPathOf(element);
            if (path != null && sameFile(device, Path.of(path))) {
                return element.substring(0, element.indexOf(' '));
            }
        }
        throw new IllegalArgumentException(port + " is not among the listed ports; name it with a COM"
                + " name: WINCE_DEVICES=COM1:=" + port + " java -jar tavrix-console.jar --port COM1: ...");
    }

    /** The host path in an element of the port list, null when it shows none. */
    static String hostPathOf(String element) {
        int open = element.indexOf(" <");
        if (open < 0 || !element.endsWith(">")) {
            return null;
        }
        String friendly = element.substring(open + 2, element.length() - 1);
        int pathStart = friendly.lastIndexOf(" (");
        if (friendly.endsWith(")") && pathStart >= 0) {
            return friendly.substring(pathStart + 2, friendly.length() - 1);
        }
        return friendly.startsWith("/") ? friendly : null;
    }

    private static boolean sameFile(Path a, Path b) {
        try {
            return Files.exists(b) && Files.isSameFile(a, b);
        } catch (IOException e) {
            return false;
        }
    }
}
