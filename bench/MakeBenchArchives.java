// Writes the benchmark's input and packs it with the jlha library (an encoder nobody on this
// project wrote), one archive per method, in one Java run:
//   java -cp /usr/share/java/jlha.jar MakeBenchArchives.java SIZE FOLDER METHOD...
// FOLDER/bench.bin gets SIZE bytes of mixed content, FOLDER/bench-lhN.lzh the archives
// (level-2 headers); -lh2- packs bench-lh2.bin, the same bytes behind a random start. The
// content is fixed by a seed, so every run measures the same bytes:
// word text (long and short matches), little-endian number tables (binary with structure),
// runs of one byte, and stretches of random bytes (literals that Huffman codes cannot shrink).
import java.io.*;
import java.nio.file.*;
import java.util.Date;
import java.util.Random;

import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;

public class MakeBenchArchives {
    static byte[] content(int size) {
        Random random = new Random(20240601L);
        String[] words = new String[4000];
        for (int i = 0; i < words.length; i++) {
            StringBuilder word = new StringBuilder();
            int length = 2 + random.nextInt(9);
            for (int k = 0; k < length; k++) word.append((char) ('a' + random.nextInt(26)));
            words[i] = word.toString();
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream(size + 65536);
        while (out.size() < size) {
            int kind = random.nextInt(10);
            if (kind < 5) {
                StringBuilder text = new StringBuilder();
                int count = 50 + random.nextInt(400);
                for (int i = 0; i < count; i++) {
                    // Zipf-like: a few words are frequent, most are rare.
                    int index = (int) (words.length * Math.pow(random.nextDouble(), 3));
                    text.append(words[index]).append(random.nextInt(12) == 0 ? ".\n" : " ");
                }
                byte[] bytes = text.toString().getBytes();
                out.write(bytes, 0, bytes.length);
            } else if (kind < 8) {
                int value = random.nextInt(1 << 20);
                int count = 100 + random.nextInt(2000);
                for (int i = 0; i < count; i++) {
                    value += random.nextInt(64) - 16;
                    out.write(value);
                    out.write(value >>> 8);
                    out.write(value >>> 16);
                    out.write(0);
                }
            } else if (kind < 9) {
                int b = random.nextInt(256);
                int count = 16 + random.nextInt(600);
                for (int i = 0; i < count; i++) out.write(b);
            } else {
                byte[] noise = new byte[200 + random.nextInt(6000)];
                random.nextBytes(noise);
                out.write(noise, 0, noise.length);
            }
        }
        byte[] all = out.toByteArray();
        byte[] result = new byte[size];
        System.arraycopy(all, 0, result, 0, size);
        return result;
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 3) {
            System.err.println("usage: MakeBenchArchives SIZE FOLDER METHOD...");
            System.exit(2);
        }
        int size = Integer.parseInt(args[0]);
        Path folder = Paths.get(args[1]);
        byte[] data = content(size);
        Files.write(folder.resolve("bench.bin"), data);
        for (int i = 2; i < args.length; i++) {
            String method = args[i];
            String name = "bench-" + method.replace("-", "") + ".lzh";
            byte[] member = data;
            if (method.equals("-lh2-")) {
                // jlha's -lh2- model parts from every other reader's when a match comes in the
                // first 64 bytes; 80 random bytes in front keep its archive readable. The
                // extracted file is then checked against bench-lh2.bin.
                member = new byte[size];
                byte[] start = new byte[80];
                new Random(7).nextBytes(start);
                System.arraycopy(start, 0, member, 0, Math.min(80, size));
                if (size > 80) System.arraycopy(data, 0, member, 80, size - 80);
                Files.write(folder.resolve("bench-lh2.bin"), member);
            }
            LhaHeader header = new LhaHeader("bench.bin");
            header.setCompressMethod(method);
            header.setHeaderLevel(2);
            header.setLastModified(new Date(1256534820000L));
            try (LhaOutputStream out = new LhaOutputStream(new BufferedOutputStream(
                     new FileOutputStream(folder.resolve(name).toFile()), 1 << 20))) {
                out.putNextEntry(header);
                out.write(member);
                out.closeEntry();
            }
        }
    }
}
