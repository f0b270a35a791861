package com.tavrix.tools;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.atomic.AtomicReference;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;

/**
 * Morvane loaded by a throw-away class loader, as application servers and
 * plug-in hosts load native classes, and dropped while an asynchronous sound
 * still plays; fifty times over. Runs in a VM of its own
 * (Java.SystemToolUnload), where no other class loader holds the library.
 *
 * <p>ALSA's default device writes the sound into a FIFO that this test
 * holds: while the test does not read it, the sound's thread is stuck in
 * the middle of playing. "OBX0:" is a file that records the notifications.
 */
class SystemToolUnloadTest {
    private static final int ROUNDS = 50;
    private static final String CALLER = "unload-caller";
    private static final String LOADED = "0x01040008\n";
    private static final String UNLOADING = "0x01040004\n";
    private static final String LIBRARY = "/libMorvane.so";
    /** How long the test leaves the sound stuck once the loader is dropped. */
    private static final long HOLD_NANOS = 300_000_000L;
    private static final long UNLOAD_TIMEOUT_NANOS = 30_000_000_000L;

    private final Path folder = Path.of(System.getenv("SYSTOOL_UNLOAD_DIR"));
    private final Path driver = folder.resolve("obx0");
    private final Path played = folder.resolve("played");
    private final Path wave = folder.resolve("long.wav");

    /** Defines its own SystemTool from the main jar, so that the class and its library go with it. */
    private static final class ThrowAwayLoader extends URLClassLoader {
        ThrowAwayLoader() throws Exception {
            super(new URL[] {SystemTool.class.getProtectionDomain().getCodeSource().getLocation()},
                    ClassLoader.getPlatformClassLoader());
        }
    }

    @Test
    void droppedWhilePlayingUnloadsAfterThePlaybackAndLeavesNoThread() throws Throwable {
        prepareFiles();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        // The sound's thread takes its native name from the thread that
        // started it: counting that name counts it.
        Thread caller = new Thread(() -> {
            try (RandomAccessFile sink = new RandomAccessFile(played.toFile(), "rw");
                    FileInputStream sound = new FileInputStream(sink.getFD())) {
                playAndDropRounds(sound);
            } catch (Throwable thrown) {
                failure.set(thrown);
            }
        }, CALLER);
        caller.start();
        caller.join();
        if (failure.get() != null) {
            throw failure.get();
        }
    }

    private void playAndDropRounds(FileInputStream sound) throws Exception {
        int threadsBefore = threadsNamed(CALLER);
        for (int round = 1; round <= ROUNDS; round++) {
            assertTrue(playInThrowAwayLoader(), "round " + round + ": PlaySound");
            assertEquals(threadsBefore + 1, threadsNamed(CALLER), "round " + round + ": the sound's thread");
            awaitUnload(round, sound);
            assertEquals(threadsBefore, threadsNamed(CALLER), "round " + round + ": a thread left running");
            assertEquals((LOADED + UNLOADING).repeat(round), Files.readString(driver), "round " + round);
        }
    }

    // The loader, its class and its method are unreachable once this returns.
    private boolean playInThrowAwayLoader() throws Exception {
        try (ThrowAwayLoader loader = new ThrowAwayLoader()) {
            Class<?> tool = loader.loadClass(SystemTool.class.getName());
            assertTrue(tool.getClassLoader() == loader);
            Method play = tool.getMethod("PlaySound", String.class, boolean.class);
            return (Boolean) play.invoke(null, wave.toString(), false);
        }
    }

    // Collects until the library is unmapped. While the sound is held stuck,
    // the unload waits for it: no unload notification may come meanwhile.
    private void awaitUnload(int round, FileInputStream sound) throws Exception {
        long start = System.nanoTime();
        while (libraryMapped()) {
            System.gc();
            long elapsed = System.nanoTime() - start;
            if (elapsed < HOLD_NANOS) {
                assertEquals(round - 1, count(Files.readString(driver), UNLOADING),
                        "round " + round + ": unload notified while the sound still played");
            } else {
                drain(sound);
            }
            if (elapsed > UNLOAD_TIMEOUT_NANOS) {
                fail("round " + round + ": the library was not unloaded");
            }
            Thread.sleep(10);
        }
        drain(sound);
    }

    private static void drain(FileInputStream sound) throws IOException {
        byte[] buffer = new byte[65536];
        while (sound.available() > 0) {
            sound.read(buffer);
        }
    }

    private static boolean libraryMapped() throws IOException {
        try (Stream<String> maps = Files.lines(Path.of("/proc/self/maps"))) {
            return maps.anyMatch(line -> line.endsWith(LIBRARY));
        }
    }

    private static int threadsNamed(String name) throws IOException {
        int count = 0;
        try (Stream<Path> tasks = Files.list(Path.of("/proc/self/task"))) {
            for (Path task : (Iterable<Path>) tasks::iterator) {
                try {
                    count += Files.readString(task.resolve("comm")).strip().equals(name) ? 1 : 0;
                } catch (IOException ended) {
                    // the thread ended while we looked
                }
            }
        }
        return count;
    }

    private static int count(String text, String line) {
        int count = 0;
        for (int at = text.indexOf(line); at >= 0; at = text.indexOf(line, at + line.length())) {
            count++;
        }
        return count;
    }

    // The notification file, the FIFO that ALSA's default device writes the
    // sound into, and a sound far longer than the FIFO and ALSA's buffers.
    private void prepareFiles() throws Exception {
        Files.createDirectories(folder);
        Files.writeString(driver, "");
        Files.deleteIfExists(played);
        Process mkfifo = new ProcessBuilder("mkfifo", played.toString()).inheritIO().start();
        assertEquals(0, mkfifo.waitFor());
        Files.writeString(Path.of(System.getenv("ALSA_CONFIG_PATH")),
                "pcm.!default { type file; slave.pcm { type null }; file \"" + played + "\"; format \"raw\" }\n");
        Files.write(wave, Waves.of(new byte[8000 * 2 * 30]));
    }
}
