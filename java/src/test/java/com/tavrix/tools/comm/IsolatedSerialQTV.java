package com.tavrix.tools.comm;

import java.io.IOException;
import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;

/**
 * SerialQTV defined by a class loader of its own, as an application server
 * or a plug-in host loads it: the class loads the native library into that
 * loader, and the natives are called through reflection. Once the loader is
 * dropped and collected, the VM unloads the library.
 *
 * <p>The test's own class loader must never initialise SerialQTV: the VM
 * lets one loader at a time hold a native library.
 */
final class IsolatedSerialQTV {
    private static final String CLASS_NAME = "com.tavrix.tools.comm.SerialQTV";
    private static final String HELD_ELSEWHERE = "already loaded in another classloader";
    private static final int QTV1_BAUD = 9600;

    private URLClassLoader loader;
    private Class<?> serial;

    private IsolatedSerialQTV(URLClassLoader loader, Class<?> serial) {
        this.loader = loader;
        this.serial = serial;
    }

    /**
     * Loads the class and its library in a new loader. A loader dropped
     * before still holds the library until the VM's cleaner has unloaded it,
     * so this collects and tries again, with a new loader each time, until
     * the library is free or the time is up: a load that succeeds shows that
     * the previous unload is complete.
     */
    static IsolatedSerialQTV loadOnceFree(long timeoutMs) throws Exception {
        long deadline = System.nanoTime() + timeoutMs * 1_000_000L;
        while (true) {
            try {
                return load();
            } catch (UnsatisfiedLinkError held) {
                String message = String.valueOf(held.getMessage());
                if (!message.contains(HELD_ELSEWHERE) || System.nanoTime() > deadline) {
                    throw held;
                }
                System.gc();
                Thread.sleep(5);
            }
        }
    }

    private static IsolatedSerialQTV load() throws Exception {
        URL jar = SerialQTV.class.getProtectionDomain().getCodeSource().getLocation();
        URLClassLoader loader = new URLClassLoader(new URL[] {jar}, ClassLoader.getPlatformClassLoader());
        try {
            return new IsolatedSerialQTV(loader, Class.forName(CLASS_NAME, true, loader));
        } catch (Throwable failed) {
            loader.close();
            throw failed;
        }
    }

    /** InitRS_ of the family; element 0 of portIndex receives the index. */
    int open(Family family, String portName, int[] portIndex) throws Exception {
        String name = "InitRS_" + family.name();
        if (family == Family.QTVv1) {
            return (int) call(name, new Class<?>[] {int.class, String.class, int[].class},
                    QTV1_BAUD, portName, portIndex);
        }
        return (int) call(name, new Class<?>[] {String.class, int[].class}, portName, portIndex);
    }

    int envRS(int port, byte[] message, int length) throws Exception {
        return (int) call("EnvRS", new Class<?>[] {int.class, byte[].class, int.class}, port, message, length);
    }

    int recRS(int port, byte[] reply, int[] replyLength) throws Exception {
        return (int) call("RecRS", new Class<?>[] {int.class, byte[].class, int[].class}, port, reply, replyLength);
    }

    int fermRS(int port) throws Exception {
        return (int) call("FermRS", new Class<?>[] {int.class}, port);
    }

    String donneNomPortRS(int port) throws Exception {
        return (String) call("DonneNomPortRS", new Class<?>[] {int.class}, port);
    }

    /**
     * Lets go of the class and its loader; the reference clears once the
     * loader has been collected.
     */
    WeakReference<ClassLoader> drop() throws IOException {
        WeakReference<ClassLoader> reference = new WeakReference<>(loader);
        loader.close();
        loader = null;
        serial = null;
        return reference;
    }

    /** Collects until the loader is gone; false if it is still reachable after the time given. */
    static boolean awaitCollected(WeakReference<ClassLoader> loader, long timeoutMs) throws InterruptedException {
        long deadline = System.nanoTime() + timeoutMs * 1_000_000L;
        while (loader.get() != null) {
            if (System.nanoTime() > deadline) {
                return false;
            }
            System.gc();
            Thread.sleep(5);
        }
        return true;
    }

    private Object call(String name, Class<?>[] parameters, Object... arguments) throws Exception {
        Method method = serial.getMethod(name, parameters);
        try {
            return method.invoke(null, arguments);
        } catch (InvocationTargetException thrown) {
            if (thrown.getCause() instanceof Exception cause) {
                throw cause;
            }
            throw thrown;
        }
    }
}
