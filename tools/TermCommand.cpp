// tavrin term DEVICE: the options of the interactive terminal.
#include <memory>
#include <string>

#include "Commands.h"
#include "Terminal.h"

namespace tavrin::tool {

void AddTermCommand(CommandLine& line, int& status)
{
    struct Texts {
        TerminalOptions options;
        std::vector<std::string> allow;
        std::string stamps, imap, omap;
    };
    auto texts = std::make_shared<Texts>();
    Command command = line.Add(
        "term", "an interactive terminal on DEVICE");
    command.Add("DEVICE", texts->options.device, "the device (below)").Required();
    AddAllowOption(command, texts->allow);
    command.Flag("--telnet-refuse", texts->options.refuseTelnet,
                      "tcp:/listen: take Telnet commands out of what is received and refuse every option the peer "
                      "asks for");
    command.Flag("--reconnect", texts->options.reconnect,
                      "serial:/tcp: wait for a device that goes away and open it again");
    CommandOption stamps = command.Flag("--timestamp{iso}", texts->stamps,
                                            "start each received line with the local time (iso, the default: "
                                            "2026-12-09 16:05:03.123) or the time since the previous line "
                                            "(--timestamp=delta: +0.250)");
    stamps.ValueText("[=iso|delta]");
    command.Flag("--hex", texts->options.output.display.hex,
                      "show what is received as hexdump -C does: offset, 16 bytes, printable text");
    CommandOption log = command.Add("--log", texts->options.output.logPath,
                                           "append what is received, as it arrived, to FILE")
                          .TypeName("FILE");
    command.Flag("--log-shown", texts->options.output.logShown,
                      "the log gets what is shown (with stamps, hex and the input map)")
        .Needs(log);
    command.Add("--dir", texts->options.receiveDir,
                "where files are received when the far side starts sz (the current folder by default)")
        .TypeName("DIR");
    command.Add("--imap", texts->imap, "map what is received before it is shown: a list (below)")
        .TypeName("LIST");
    command.Add("--omap", texts->omap, "map what is typed before it is sent: a list (below)")
        .TypeName("LIST");
    command.Footer(std::string("Input is written to DEVICE (keys as typed on a terminal; lines from a pipe);\n"
                                "received bytes go to stdout, notices to stderr. On listen: each caller's access\n"
                                "text is a notice, input goes to every admitted caller and what they send goes to\n"
                                "stdout.\n\n"
                                "On a terminal Ctrl-] then a key: b send a break, d toggle DTR, r toggle RTS,\n"
                                "s show the line settings and status lines (CTS DSR DCD RI), z send files\n"
                                "with ZMODEM (their names are asked for), h or ? help, q quit; Ctrl-] twice\n"
                                "sends Ctrl-] itself. Changes of the status lines and breaks received on a\n"
                                "serial line are notices.\n\n"
                                "When the far side starts sz (its ZMODEM request arrives), the files are\n"
                                "received into --dir by themselves, with progress on stderr; then the\n"
                                "terminal goes on. Ctrl-C during a transfer cancels it; other keys are dropped.\n\n"
                                "With --reconnect a serial port that goes away (unplugged, a pty's far end\n"
                                "closed) is waited for through its folder (inotify; each second on Windows)\n"
                                "and a tcp: peer is tried again after 1, 2, 4 ... 30 s; input typed meanwhile\n"
                                "is dropped. A serial port is locked with a UUCP lock file while it is open.\n\n"
                                "--imap and --omap take picocom's maps, comma-separated, each byte mapped by the\n"
                                "first that names it: crlf (CR to LF), crcrlf (CR to CR LF), igncr (drop CR),\n"
                                "lfcr, lfcrlf, ignlf, bsdel (BS to DEL), delbs (DEL to BS). The input map is\n"
                                "applied before stamps and hex; --log without --log-shown logs the bytes as\n"
                                "they arrived. In --hex a row that is not full is shown once nothing has\n"
                                "arrived for 200 ms, and at the end; offsets count every byte received.\n\n") +
                    kDeviceHelp);
    command.OnRun([&status, texts, stamps] {
        std::string error;
        if (!ParseAllowRules(texts->allow, texts->options.allow, error)) {
            CommandError("term", error);
            status = 2;
            return;
        }
        OutputOptions& output = texts->options.output;
        if (stamps.Given() && !ParseStampStyle(texts->stamps, output.display.stamps)) {
            CommandError("term", "--timestamp takes iso or delta, not '" + texts->stamps + "'");
            status = 2;
            return;
        }
        std::string badMap;
        if (!texts->imap.empty() && !ByteMap::Parse(texts->imap, output.inputMap, error))
            badMap = "--imap: ";
        else if (!texts->omap.empty() && !ByteMap::Parse(texts->omap, output.outputMap, error))
            badMap = "--omap: ";
        if (!badMap.empty()) {
            CommandError("term", badMap + error);
            status = 2;
            return;
        }
        status = RunTerminal(texts->options);
    });
}

}  // namespace tavrin::tool
