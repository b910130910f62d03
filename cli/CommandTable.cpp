#include "cli/CommandTable.h"

#include <cstring>

namespace {

const char* const kConfigDirHelp = "configuration folder (default: \"configuration\" beside the program)";

OptionRow configDir(const char* manual)
{
    return {"config-dir", "DIR", ValueKind::Folder, kConfigDirHelp, manual};
}

std::vector<OptionRow> installOptions()
{
    return {
        {"port", "DEVICE", ValueKind::Port, "the terminal's port; repeatable, one terminal each",
         R"roff(The terminal's port: a device path
.RI ( /dev/ttyUSB0 ,
.IR /dev/pts/7 )
or a port label as
.B mirdal\-cli ports
lists it.
Repeatable, each port given once.
Without it, the port is the value of
.B MIRDAL_PORT
when that is set, otherwise the maker's port when exactly one is listed (a
line on standard error names it); when none or several are listed, they are
named and the command stops with status 2.)roff",
         nullptr, true},
        configDir("The configuration folder."),
        {"time-scale", "F", ValueKind::Free, "factor in (0,1] applied to every fixed pause (default 1)",
         R"roff(A factor in (0,1] applied to every fixed pause of the scenario (default 1:
the terminal's real pauses).
Read time-outs are never scaled.
Meant for simulated terminals.)roff"},
        {"trace", "FILE", ValueKind::File,
         "session transcript (JSON lines); with several ports, one file per\n"
         "port, named FILE with the port's name before the extension",
         R"roff(Writes a transcript of the session: JSON lines of every frame and answer, the
port's opening and closing and the result; of the data blocks only their
number, count and CRC.
With several ports, one file per port, named
.I FILE
with the port's name before the extension.
.BR mirdal\-sim (1)
plays a transcript back with
.BR \-\-replay .)roff"},
        {"record-db", "FILE", ValueKind::File,
         "the local record (default: MIRDAL_RECORD_DB, the settings file,\n"
         "then mirdal/records.sqlite in the user's data folder)",
         R"roff(The local record of the updates (see
.BR RECORDS ).)roff"},
        {"record-server", "CONNINFO", ValueKind::Free,
         "the fleet's record server, a libpq connection string such as\n"
         "\"service=fleet\" (default: MIRDAL_RECORD_SERVER, the settings file)",
         R"roff(The fleet's record server, a libpq connection string such as
.B service=fleet
(see
.BR RECORDS ).)roff"},
        {"verbose", "", ValueKind::None,
         "also show the engine's log lines (each file advertised,\n"
         "each pass over a file, each restart); the log file\n"
         "has them all the same (see 'mirdal-cli --help')",
         R"roff(Also shows the diagnostics on standard error: the engine's steps (each file
advertised, each pass over a file, each restart), the configuration's reading
and the card readers' switch.
The log file has them with or without it (see
.BR FILES ).)roff"},
        {"quiet", "", ValueKind::None, "no progress lines, only the result", "No progress lines: only the result."},
        {"json", "", ValueKind::None, "each terminal's result as one JSON object a line on stdout",
         R"roff(Each terminal's result as one JSON object on one line of standard output,
instead of the lines above (see
.BR "JSON RESULTS" );
the progress stays on standard error.)roff"},
    };
}

std::vector<OptionRow> checkOptions()
{
    return {
        configDir("The folder to check."),
        {"json", "", ValueKind::None, "the findings as one JSON object on stdout",
         R"roff(The findings as one JSON object on one line of standard output, instead of
the report (see
.BR "JSON RESULTS" ).)roff"},
    };
}

std::vector<OptionRow> signOptions()
{
    return {
        {"key", "PEM", ValueKind::File, "the private RSA key (2048 bits), in PEM; required",
         "The private RSA key, in PEM.\nRequired."},
        {"pass", "SOURCE", ValueKind::PassSource, "where the passphrase of an encrypted key is read",
         R"roff(Where the passphrase of an encrypted key is read:
.BI env: VAR
(the environment variable
.IR VAR ),
.BI file: PATH
(the first line of the file
.IR PATH )
or
.B stdin
(the first line of standard input).
The passphrase itself is never taken on the command line, where every user
of the machine can read it.)roff"},
        configDir(R"roff(The folder whose
.I configuration.xml
is signed.)roff"),
    };
}

std::vector<OptionRow> historyOptions()
{
    return {
        {"terminal", "ID", ValueKind::Free,
         "only this terminal: its USB serial number or its hardware\n"
         "identification (6 hex digits)"},
        {"port", "DEVICE", ValueKind::Port, "only this port (device or label)"},
        {"file", "NAME", ValueKind::Free, "only the updates whose files include NAME"},
        {"failed", "", ValueKind::None, "only the failed updates"},
        {"since", "DATE", ValueKind::Free, "only those started from DATE"},
        {"until", "DATE", ValueKind::Free, "only those started before DATE"},
        {"limit", "N", ValueKind::Free, "at most N updates (default 100; 0: all)"},
        {"format", "FORMAT", ValueKind::Words, "table (default), csv or json (one object a line)", nullptr,
         "table csv json"},
        {"html", "FILE", ValueKind::File, "write the support desk's page to FILE"},
        {"server", "", ValueKind::None, "read the record server instead of the local record"},
        {"record-db", "FILE", ValueKind::File, "the local record"},
        {"record-server", "CONNINFO", ValueKind::Free, "the record server (libpq connection string)"},
    };
}

} // namespace

const std::vector<CommandRow>& commandTable()
{
    static const std::vector<CommandRow> table = {
        {"install", "update the terminals on one or more ports",
         "[--port DEVICE]... [--config-dir DIR] [--time-scale F] [--trace FILE] [--record-db FILE] "
         "[--record-server CONNINFO] [--json] [--verbose] [--quiet]",
         installOptions()},
        {"ports", "list the serial ports, the maker's marked", "", {}},
        {"check", "check a configuration folder before it is shipped", "[--config-dir DIR] [--json]", checkOptions()},
        {"pack", "encrypt a plain file into a package container", "PLAIN OUT", {}, ValueKind::File, 2},
        {"sign", "sign a folder's configuration.xml", "--key PEM [--pass SOURCE] [--config-dir DIR]", signOptions()},
        {"history", "list the recorded updates, or write a page of them", "[OPTION]... | show ID | push",
         historyOptions(), ValueKind::None, 0, "show push"},
    };
    return table;
}

const CommandRow* findCommand(const char* name)
{
    for (const CommandRow& command : commandTable()) {
        if (std::strcmp(command.name, name) == 0)
            return &command;
    }
    return nullptr;
}
