import com.ostrel.automotive.acx.kelvar.tamsadbg.Ferrox;
import com.ostrel.automotive.acx.kelvar.tamsadbg.FerroxCallback;
import com.ostrel.automotive.acx.kelvar.tamsadbg.FerroxHWStatus;
import com.ostrel.automotive.acx.kelvar.tamsadbg.TamsaRegisters;

import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.util.Arrays;

/**
 * A Java program on ferrox.jar alone: opens the probe, looks at it and the
 * target, programs and reads EROM, and moves EROM through a HEX file and
 * back. Exits with 1 at the first result that is not as expected.
 *
 * <pre>
 * java -Djava.library.path=build/lib -cp build/lib/ferrox.jar:. FerroxExample [FOLDER]
 * </pre>
 * (QUIDOR_SERVER=HOST:PORT reaches a probe server or quidorsim.)
 */
public final class FerroxExample {
    private FerroxExample() {
    }

    private static void expect(boolean ok, String what) {
        if (!ok) {
            System.out.println("FAILED: " + what);
            System.exit(1);
        }
    }

    public static void main(String[] args) throws IOException {
        File folder = args.length > 0 ? new File(args[0]) : Files.createTempDirectory("ferrox-example").toFile();
        Ferrox ferrox = new Ferrox();
        System.out.println(new String(ferrox.getJniDllVersion()).trim());
        FerroxCallback callback = new FerroxCallback() {
            @Override
            public void logMessage(String message) {
                System.out.println("log: " + message);
            }

            @Override
            public void errorMessage(String message) {
                System.out.println("error: " + message);
            }
        };
        expect(ferrox.Open(callback) == 0, "Open");
        System.out.println("library " + ferrox.GetDLLVersion() + ", probe firmware " + ferrox.EMU_GetFirmwareString());

        FerroxHWStatus hw = new FerroxHWStatus();
        expect(ferrox.EMU_GetHWStatus(hw) == 0, "EMU_GetHWStatus");
        System.out.println(hw);

        TamsaRegisters regs = new TamsaRegisters();
        expect(ferrox.CPU_GetRegsAll(regs) == 10, "CPU_GetRegsAll");
        System.out.println(regs);

        byte[] code = new byte[64];
        for (int i = 0; i < code.length; i++) {
            code[i] = (byte) (0xA0 + i);
        }
        expect(ferrox.CPU_ProgEROM(0x0200, code.length, code) == code.length, "CPU_ProgEROM");
        byte[] back = new byte[code.length];
        expect(ferrox.CPU_GetEROM(0x0200, back.length, back) == back.length, "CPU_GetEROM");
        expect(Arrays.equals(code, back), "EROM holds what was programmed");

        String hexName = new File(folder, "example").getPath();
        expect(ferrox.upload(hexName, 0x0200, code.length) == 0, "upload");
        expect(new File(hexName + ".Hex").isFile(), "upload wrote " + hexName + ".Hex");
        expect(ferrox.CPU_ProgEROM(0x0200, code.length, new byte[code.length]) == code.length, "clearing EROM");
        expect(ferrox.download(hexName, 0) == 0, "download");
        Arrays.fill(back, (byte) 0);
        expect(ferrox.CPU_GetEROM(0x0200, back.length, back) == back.length, "CPU_GetEROM after download");
        expect(Arrays.equals(code, back), "download put the file back");

        ferrox.Close();
        expect(ferrox.IsOpen() == 0, "Close");
        System.out.println("Example done");
    }
}
