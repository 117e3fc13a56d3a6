// Reading the command line into steps.
#include "host/Options.h"

#include "host/ByteText.h"
#include "host/LineSettings.h"

#include <cstdlib>

const char UsageText[] =
    "usage: comrelay-host [options] [steps]\n"
    "Without steps the window opens for interactive use. Steps run in order,\n"
    "each notification of the plug-in is printed with the seconds since start.\n"
    "  --version           print the version of comrelay-host and leave\n"
    "  --dll PATH          the plug-in (default: comrelay.dll beside the program)\n"
    "  --port COMn         choose the port, COM1..COM256\n"
    "  --baud N            110 300 600 1200 2400 4800 9600 14400 19200 38400\n"
    "                      56000 57600 115200 128000 256000\n"
    "  --data-bits N       5, 6, 7 or 8\n"
    "  --stop-bits N       1, 1.5 or 2\n"
    "  --open              open the port (a --send on a closed port opens it first)\n"
    "  --eol none|cr|lf|crlf  line ending of the following --send (default crlf)\n"
    "  --send TEXT         send TEXT and the line ending; \\r \\n \\t \\xNN \\\\ escapes\n"
    "  --send-hex HEX      send these bytes as they are, e.g. \"68 69 0D 0A\"\n"
    "  --wait MS           keep running (and printing) for MS milliseconds\n"
    "  --wait-for TEXT     wait until TEXT (escapes allowed) has been received\n"
    "  --timeout MS        limit of the following --wait-for and --open (default 5000)\n"
    "  --close             close the port\n"
    "  --exit              leave after the last step (the port is closed first)\n"
    "A zero byte cannot be sent: the plug-in takes the text to send up to its\n"
    "first zero byte. Exit status: 0 when every step did what it asked, 1 when a\n"
    "step failed (a port that did not open, a reply that did not come), 2 when the\n"
    "plug-in could not be loaded or the command line is wrong.\n";

namespace {

bool ToInt(const std::string& text, std::int32_t& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

template <size_t N> bool InTable(const std::int32_t (&table)[N], std::int32_t value) {
    for (std::int32_t v : table)
        if (v == value) return true;
    return false;
}

} // namespace

bool PortName(const std::string& text, std::string& name) {
    std::string digits = text;
    if (digits.size() > 3 && (digits.compare(0, 3, "COM") == 0 || digits.compare(0, 3, "com") == 0))
        digits = digits.substr(3);
    std::int32_t n = 0;
    if (!ToInt(digits, n) || n < 1 || n > 256) return false;
    name = "COM" + std::to_string(n);
    return true;
}

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    std::string eol = "\r\n";
    std::int32_t timeout = 5000;
    auto fail = [&](const std::string& why) {
        if (o.error.empty()) o.error = why;
    };
    for (size_t i = 0; i < args.size() && o.error.empty(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h" || a == "/?") {
            o.help = true;
            continue;
        }
        if (a == "--version") {
            o.version = true;
            continue;
        }
        if (a == "--exit") {
            o.exit = true;
            continue;
        }
        if (a == "--open" || a == "--close") {
            Step s{a == "--open" ? Step::Kind::Open : Step::Kind::Close, "", timeout, ""};
            o.steps.push_back(s);
            continue;
        }
        static const char* const valued[] = {"--dll",       "--port",     "--baud",   "--data-bits",
                                             "--stop-bits", "--eol",      "--send",   "--send-hex",
                                             "--wait",      "--wait-for", "--timeout"};
        bool known = false;
        for (const char* v : valued)
            known = known || a == v;
        if (!known) {
            fail("unknown option " + a);
            break;
        }
        if (i + 1 >= args.size()) {
            fail(a + " needs a value");
            break;
        }
        const std::string& v = args[++i];
        Step s{Step::Kind::Wait, "", 0, v};
        if (a == "--dll") {
            o.dll = v;
            continue;
        }
        if (a == "--eol") {
            if (v == "none")
                eol = "";
            else if (v == "cr")
                eol = "\r";
            else if (v == "lf")
                eol = "\n";
            else if (v == "crlf")
                eol = "\r\n";
            else
                fail("--eol takes none, cr, lf or crlf");
            continue;
        }
        if (a == "--timeout") {
            if (!ToInt(v, timeout) || timeout < 0) fail("--timeout takes milliseconds");
            continue;
        }
        if (a == "--port") {
            s.kind = Step::Kind::Port;
            if (!PortName(v, s.text)) fail("--port takes COM1 to COM256");
        } else if (a == "--baud") {
            s.kind = Step::Kind::BaudRate;
            if (!ToInt(v, s.value) || !InTable(BaudRates, s.value))
                fail("--baud " + v + " is not one of the plug-in's rates");
        } else if (a == "--data-bits") {
            s.kind = Step::Kind::DataBits;
            if (!ToInt(v, s.value) || !InTable(DataBitsValues, s.value))
                fail("--data-bits takes 5, 6, 7 or 8");
        } else if (a == "--stop-bits") {
            s.kind = Step::Kind::StopBits;
            s.value = StopBitsCode(v);
            if (!s.value) fail("--stop-bits takes 1, 1.5 or 2");
        } else if (a == "--send" || a == "--send-hex") {
            s.kind = Step::Kind::Send;
            bool ok = a == "--send" ? UnescapeText(v, s.text) : ParseHexBytes(v, s.text);
            if (!ok) fail("cannot read the bytes of " + a + " " + v);
            if (a == "--send") s.text += eol;
            if (s.text.find('\0') != std::string::npos)
                fail(a + " " + v +
                     ": a zero byte cannot be sent (the plug-in takes the text "
                     "to send up to its first zero byte)");
            s.value = timeout; // of the open that a send on a closed port makes first
        } else if (a == "--wait") {
            s.kind = Step::Kind::Wait;
            if (!ToInt(v, s.value) || s.value < 0) fail("--wait takes milliseconds");
        } else if (a == "--wait-for") {
            s.kind = Step::Kind::WaitFor;
            s.value = timeout;
            if (!UnescapeText(v, s.text) || s.text.empty()) fail("cannot read --wait-for " + v);
        }
        o.steps.push_back(s);
    }
    return o;
}
