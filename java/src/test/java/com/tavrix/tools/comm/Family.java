package com.tavrix.tools.comm;

/** The four instrument families and the native that opens a port for each. */
enum Family {
    QTVv1 {
        @Override
        int open(String portName, int[] portIndex) {
            return SerialQTV.InitRS_QTVv1(9600, portName, portIndex);
        }
    },
    QTVv2 {
        @Override
        int open(String portName, int[] portIndex) {
            return SerialQTV.InitRS_QTVv2(portName, portIndex);
        }
    },
    KELT3B {
        @Override
        int open(String portName, int[] portIndex) {
            return SerialQTV.InitRS_KELT3B(portName, portIndex);
        }
    },
    VX9 {
        @Override
        int open(String portName, int[] portIndex) {
            return SerialQTV.InitRS_VX9(portName, portIndex);
        }
    };

    abstract int open(String portName, int[] portIndex);
}
