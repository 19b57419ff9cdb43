// Writes LHA archives for the tests with the jlha library from Debian's jlha-utils, an encoder
// nobody on this project wrote. One run reads a description file and writes every archive in
// it, because the Java start-up (about half a second) dominates the cost of a run.
//
// Run without a compile step (JDK 11 or later):
//   java -Duser.timezone=UTC -cp /usr/share/java/jlha.jar MakeArchive.java DESCRIPTION
//
// Description file, one directive per line, fields separated by single spaces; empty lines
// and lines starting with '#' are ignored:
//   archive PATH
//       closes the archive before (with its end mark 0) and starts a new one at PATH.
//   member METHOD LEVEL UNIXTIME NAMEHEX CONTENT [OPTION...]
//       METHOD    method id as stored, for example -lh5-; -lhd- makes a folder entry.
//       LEVEL     header level 0, 1 or 2.
//       UNIXTIME  modification time, seconds since 1970 UTC. Levels 0 and 1 store it as an
//                 MS-DOS time stamp in the JVM's zone (hence -Duser.timezone=UTC) with
//                 two-second resolution; level 2 stores it as it is.
//       NAMEHEX   the name as hexadecimal bytes (Shift-JIS allowed), '-' for an empty name.
//       CONTENT   path of a file holding the member's bytes, '-' for none.
//   Options:
//       raw       store NAMEHEX exactly as given (see "Names" below).
//       crc=HHHH  store this CRC-16 instead of the true one (a damaged member).
//
// For every member the run prints "packed ARCHIVE MEMBER SIZE" (indexes from 0) to stdout,
// the size of the packed data as written, so that tests know what a listing must show.
//
// What jlha does, as observed on the archives it writes (jlha 0.1.x, Debian bookworm):
// - Methods: it encodes -lh1- to -lh7-, -lzs- and -lz5-. LhaOutputStream.putNextEntry falls
//   back to -lh0- whenever the packed data would not be smaller (random data, empty files),
//   and always stores -lz4- as -lh0-. This generator therefore compresses each member itself
//   (CompressMethod.connectEncoder) and hands the packed bytes over with
//   putNextEntryAlreadyCompressed, so the header always carries the method that was asked for.
// - Level 0: no OS id (header length - name length = 22: CRC but no OS id byte); the DOS
//   attribute is 0x20; the name holds the whole path with '\' as separator (jlha turns '/'
//   into '\').
// - Level 1: OS id 'J'; the base header holds only the file name; the path before the last
//   '/' goes into a directory extended header (type 2) with 0xFF as separator; a type-0
//   extended header carries a CRC-16 of the header. The stored packed size counts the
//   extended headers, as the format requires.
// - Level 2: OS id 'J'; type 0 (header CRC), type 1 (file name, possibly empty) and type 2
//   (directory, 0xFF separators) extended headers; the time is Unix time.
// - Names: the library converts Java strings with the lha.encoding property; this generator
//   sets ISO8859_1 so that every byte 0x00-0xFF passes through unchanged. Only '/' has a
//   meaning to jlha (the separator above); a backslash is an ordinary byte to it, so a
//   Shift-JIS second byte 0x5C stays as it is, and a level-1/2 file name may even hold '\'.
//   A name ending in '/' gives an empty file name and a directory header (levels 1, 2).
// - raw: the name is written as NAMEHEX exactly, bypassing the conversion above: jlha writes a
//   placeholder of the same length, which is then replaced in the header bytes; the level-0/1
//   header checksum and the level-1/2 type-0 header CRC are recomputed so that the header is
//   otherwise sound. Levels 0 and 1 put the raw bytes in the base header, level 2 in the
//   type-1 extended header. This is how names with '/' in a level-0 header, names with
//   drive letters or odd separators reach the extractor unaltered.
import java.io.*;
import java.nio.file.*;
import java.util.*;

import jp.gr.java_conf.dangan.util.lha.CompressMethod;
import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;
import jp.gr.java_conf.dangan.util.lha.LhaProperty;

public class MakeArchive {
    // Any byte serves as placeholder, since the name is found by the header layout.
    private static final char PLACEHOLDER = 'x';

    static int crc16(byte[] data, int offset, int length) {
        int crc = 0;
        for (int i = offset; i < offset + length; i++) {
            crc ^= data[i] & 0xFF;
            for (int bit = 0; bit < 8; bit++) {
                crc = (crc & 1) != 0 ? (crc >>> 1) ^ 0xA001 : crc >>> 1;
            }
        }
        return crc;
    }

    // A header whose name bytes are put in after jlha has laid the header out.
    static final class RawNameHeader extends LhaHeader {
        private final byte[] rawName;

        RawNameHeader(byte[] rawName) {
            super(placeholder(rawName.length));
            this.rawName = rawName;
        }

        private static String placeholder(int length) {
            char[] chars = new char[length];
            Arrays.fill(chars, PLACEHOLDER);
            return new String(chars);
        }

        @Override
        public byte[] getBytes(String encoding) throws UnsupportedEncodingException {
            byte[] header = super.getBytes(encoding);
            if (rawName.length == 0) {
                return header;
            }
            int level = header[20];
            int at = nameOffset(header, level);
            if (at < 0) {
                throw new IllegalStateException("name not found in the header");
            }
            System.arraycopy(rawName, 0, header, at, rawName.length);
            if (level == 0 || level == 1) {
                int length = header[0] & 0xFF;
                int sum = 0;
                for (int i = 2; i < length + 2; i++) {
                    sum += header[i] & 0xFF;
                }
                header[1] = (byte) sum;
            }
            fixHeaderCrc(header, level);
            return header;
        }

        // Levels 0 and 1 keep the name right behind its length byte at index 21; level 2
        // keeps it in the type-1 extended header, whose chain starts at index 24.
        private static int nameOffset(byte[] header, int level) {
            if (level != 2) {
                return 22;
            }
            int at = 24;
            while (at + 3 <= header.length) {
                int size = (header[at] & 0xFF) | (header[at + 1] & 0xFF) << 8;
                if (size == 0 || at + size > header.length) {
                    return -1;
                }
                if (header[at + 2] == 1) {
                    return at + 3;
                }
                at += size;
            }
            return -1;
        }

        // The type-0 extended header holds a CRC-16 of the whole header with its own field
        // taken as 0.
        private static void fixHeaderCrc(byte[] header, int level) {
            int at;
            if (level == 2) {
                at = 24;
            } else if (level == 1) {
                at = header[0] & 0xFF;  // the base header's last two bytes
            } else {
                return;
            }
            while (at + 2 <= header.length) {
                int size = (header[at] & 0xFF) | (header[at + 1] & 0xFF) << 8;
                if (size == 0 || at + size > header.length) {
                    return;
                }
                if (header[at + 2] == 0 && size >= 5) {
                    header[at + 3] = 0;
                    header[at + 4] = 0;
                    int crc = crc16(header, 0, header.length);
                    header[at + 3] = (byte) crc;
                    header[at + 4] = (byte) (crc >>> 8);
                    return;
                }
                at += size;
            }
        }
    }

    static byte[] hexBytes(String hex) {
        if (hex.equals("-")) {
            return new byte[0];
        }
        if (hex.length() % 2 != 0) {
            throw new IllegalArgumentException("odd hex name: " + hex);
        }
        byte[] bytes = new byte[hex.length() / 2];
        for (int i = 0; i < bytes.length; i++) {
            bytes[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
        }
        return bytes;
    }

    static boolean isStored(String method) {
        return method.equals("-lh0-") || method.equals("-lz4-") || method.equals("-lhd-");
    }

    static byte[] pack(String method, byte[] data, Properties properties) throws IOException {
        if (isStored(method)) {
            return data;
        }
        ByteArrayOutputStream packed = new ByteArrayOutputStream();
        OutputStream encoder = CompressMethod.connectEncoder(packed, method, properties);
        encoder.write(data);
        encoder.close();
        return packed.toByteArray();
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 1) {
            System.err.println("usage: MakeArchive DESCRIPTION");
            System.exit(2);
        }
        Properties properties = LhaProperty.getProperties();
        properties.setProperty("lha.encoding", "ISO8859_1");
        // The same content is often packed with one method at several levels: pack it once.
        Map<String, byte[]> packedCache = new HashMap<>();
        Map<String, byte[]> contentCache = new HashMap<>();
        StringBuilder report = new StringBuilder();

        LhaOutputStream archive = null;
        int archiveIndex = -1;
        int memberIndex = 0;
        int lineNumber = 0;
        for (String line : Files.readAllLines(Paths.get(args[0]))) {
            lineNumber++;
            if (line.isEmpty() || line.startsWith("#")) {
                continue;
            }
            String[] field = line.split(" ");
            try {
                if (field[0].equals("archive")) {
                    if (archive != null) {
                        archive.close();
                    }
                    archive = new LhaOutputStream(new BufferedOutputStream(
                            new FileOutputStream(field[1])), properties);
                    archiveIndex++;
                    memberIndex = 0;
                    continue;
                }
                if (!field[0].equals("member") || field.length < 6 || archive == null) {
                    throw new IllegalArgumentException("not a directive");
                }
                String method = field[1];
                int level = Integer.parseInt(field[2]);
                long unixTime = Long.parseLong(field[3]);
                byte[] name = hexBytes(field[4]);
                String contentPath = field[5];
                boolean raw = false;
                int crcOverride = -1;
                for (int i = 6; i < field.length; i++) {
                    if (field[i].equals("raw")) {
                        raw = true;
                    } else if (field[i].startsWith("crc=")) {
                        crcOverride = Integer.parseInt(field[i].substring(4), 16);
                    } else {
                        throw new IllegalArgumentException("unknown option " + field[i]);
                    }
                }

                byte[] data = contentPath.equals("-") ? new byte[0]
                        : contentCache.computeIfAbsent(contentPath, p -> {
                              try {
                                  return Files.readAllBytes(Paths.get(p));
                              } catch (IOException e) {
                                  throw new UncheckedIOException(e);
                              }
                          });
                String key = method + " " + contentPath;
                byte[] packed = packedCache.get(key);
                if (packed == null) {
                    packed = pack(method, data, properties);
                    packedCache.put(key, packed);
                }

                LhaHeader header = raw ? new RawNameHeader(name)
                        : new LhaHeader(new String(name, "ISO-8859-1"));
                header.setCompressMethod(method);
                header.setHeaderLevel(level);
                header.setLastModified(new Date(unixTime * 1000));
                header.setOriginalSize(data.length);
                header.setCompressedSize(packed.length);
                header.setCRC(crcOverride >= 0 ? crcOverride : crc16(data, 0, data.length));
                archive.putNextEntryAlreadyCompressed(header);
                archive.write(packed);
                archive.closeEntry();
                report.append("packed ").append(archiveIndex).append(' ').append(memberIndex)
                        .append(' ').append(packed.length).append('\n');
                memberIndex++;
            } catch (RuntimeException e) {
                System.err.println(args[0] + ":" + lineNumber + ": " + e);
                System.exit(1);
            }
        }
        if (archive != null) {
            archive.close();
        }
        System.out.print(report);
    }
}
