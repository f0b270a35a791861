package com.tavrix.tools.demo;

import com.tavrix.tools.comm.SerialQTV;

/** The four instrument families: the native that opens a port, and a typical command. */
enum InstrumentFamily {
    // Read the block of 5 bytes at address 0x1234.
    QTVv1("78 12 34 05") {
        @Override
        int open(String portName, int baudRate, int[] portIndex) {
            return SerialQTV.InitRS_QTVv1(baudRate, portName, portIndex);
        }
    },
    // Request code 0xA0 with its additive checksum 0x21.
    QTVv2("80 F0 10 01 A0 21") {
        @Override
        int open(String portName, int baudRate, int[] portIndex) {
            return SerialQTV.InitRS_QTVv2(portName, portIndex);
        }
    },
    KELT3B("4B 01 02") {
        @Override
        int open(String portName, int baudRate, int[] portIndex) {
            return SerialQTV.InitRS_KELT3B(portName, portIndex);
        }
    },
    VX9("56 01 02") {
        @Override
        int open(String portName, int baudRate, int[] portIndex) {
            return SerialQTV.InitRS_VX9(portName, portIndex);
        }
    };

    /** Line speed of QTVv1 when none is given; the other families have a fixed one. */
    static final int DEFAULT_QTV1_BAUD = 9600;

    final String typicalCommand;

    InstrumentFamily(String typicalCommand) {
        this.typicalCommand = typicalCommand;
    }

    abstract int open(String portName, int baudRate, int[] portIndex);

    /** The name of the native that opens this family's ports. */
    String openNative() {
        return "InitRS_" + name();
    }

    static InstrumentFamily named(String name) {
        for (InstrumentFamily family : values()) {
            if (family.name().equalsIgnoreCase(name)) {
                return family;
            }
        }
        throw new IllegalArgumentException("unknown family " + name + " (QTVv1, QTVv2, KELT3B, VX9)");
    }
}
