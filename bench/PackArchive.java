// Packs one file into an LHA archive with the jlha library (an encoder nobody on this project
// wrote), for the benchmark. Run without a compile step:
//   java -cp /usr/share/java/jlha.jar PackArchive.java METHOD LEVEL INPUT OUTPUT
import java.io.*;
import java.nio.file.*;
import java.util.Date;

import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;

public class PackArchive {
    public static void main(String[] args) throws Exception {
        if (args.length != 4) {
            System.err.println("usage: PackArchive METHOD LEVEL INPUT OUTPUT");
            System.exit(2);
        }
        byte[] data = Files.readAllBytes(Paths.get(args[2]));
        LhaHeader header = new LhaHeader(Paths.get(args[2]).getFileName().toString());
        header.setCompressMethod(args[0]);
        header.setHeaderLevel(Integer.parseInt(args[1]));
        header.setLastModified(new Date(1256534820000L));
        try (LhaOutputStream out = new LhaOutputStream(
                 new BufferedOutputStream(new FileOutputStream(args[3]), 1 << 20))) {
            out.putNextEntry(header);
            out.write(data);
            out.closeEntry();
        }
    }
}
