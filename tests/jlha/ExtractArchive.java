// Extracts every member of an LHA archive with the jlha library's decoders, as a second
// reader of streams that our own test encoders wrote. The `jlha x` front end is not used: it
// writes short files even for archives that jlha itself made.
//
// Run without a compile step (JDK 11 or later):
//   java -cp /usr/share/java/jlha.jar ExtractArchive.java ARCHIVE FOLDER
//
// Each member goes to FOLDER/NAME with whatever bytes the decoder gave; a member whose read
// failed is reported on stderr as "failed NAME: MESSAGE" and the run goes on.
import java.io.*;

import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaInputStream;

public class ExtractArchive {
    public static void main(String[] args) throws IOException {
        try (LhaInputStream in = new LhaInputStream(new BufferedInputStream(new FileInputStream(args[0])))) {
            byte[] buffer = new byte[65536];
            for (LhaHeader header; (header = in.getNextEntry()) != null; ) {
                String name = header.getPath();
                try (OutputStream out = new FileOutputStream(new File(args[1], name))) {
                    // read() may return 0 in the middle of a member; only -1 ends it.
                    for (int n; (n = in.read(buffer)) != -1; ) {
                        out.write(buffer, 0, n);
                    }
                } catch (IOException e) {
                    System.err.println("failed " + name + ": " + e);
                }
            }
        }
    }
}
