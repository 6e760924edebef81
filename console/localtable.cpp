// The table of the console's own '=' commands: each command's description, the values of its own
// bracketed value and its keyword parameters. The parser, its checks and the help texts are all
// driven by it.
#include "console/internal.h"

namespace {

using V = CslValueRow;
using P = CslCommandRow;

// Value tables. "!t" carries the help placeholder; "" makes the value optional.
const V kAny[] = {{"<value>", nullptr}, {nullptr, nullptr}};
const V kNumber[] = {{"<number>", nullptr}, {nullptr, nullptr}};
const V kOnOff[] = {{"on", nullptr}, {"off", nullptr}, {nullptr, nullptr}};
const V kOnOffSets[] = {{"on", "Sets value on"}, {"off", "Sets value off"}, {nullptr, nullptr}};
const V kYesNo[] = {{"yes", nullptr}, {"no", nullptr}, {nullptr, nullptr}};
const V kYesNoActive[] = {{"yes", "Option is active"}, {"no", "Option is not active"}, {nullptr, nullptr}};
const V kAge[] = {{"!t", "<age>"},
                  {"<number>", nullptr},
                  {"!", "Valid values between 0 and 500000 seconds"},
                  {nullptr, nullptr}};
const V kCcdtVersion[] = {{"9.0", "MQ 9.0 Version"}, {"8.0", "MQ 8.0 Version"}, {"7.5", "MQ 7.5 Version"},
                          {"7.1", "MQ 7.1 Version"}, {"7.0", "MQ 7.0 Version"}, {"6.0", "MQ 6.0 Version"},
                          {"5.3", "MQ 5.3 Version"}, {"5.2", "MQ 5.2 Version"}, {"5.1", "MQ 5.1 Version"},
                          {"5.0", "MQ 5.0 Version"}, {nullptr, nullptr}};
const V kColour[] = {{"!t", "<Colour>"},  {"default", nullptr}, {"black", nullptr}, {"blue", nullptr},
                     {"red", nullptr},    {"green", nullptr},   {"cyan", nullptr},  {"magenta", nullptr},
                     {"yellow", nullptr}, {"white", nullptr},   {nullptr, nullptr}};
const V kCompHdr[] = {{"system", "System compression"}, {nullptr, nullptr}};
const V kCompMsg[] = {{"any", "Any compression"},
                      {"rle", "Run Length Encoding"},
                      {"zlibfast", "ZLIB (Fast)"},
                      {"zlibhigh", "ZLIB (High)"},
                      {nullptr, nullptr}};
const V kEchoInput[] = {{"no", "Echo of input is off"},
                        {"setting", "Echo of input is set by individual settings"},
                        {nullptr, nullptr}};
const V kKeyname[] = {{"!t", "<Keyname>"}, {"<value>", nullptr}, {nullptr, nullptr}};
const V kSynonym[] = {{"!t", "<Synonym>"}, {"<value>", nullptr}, {nullptr, nullptr}};
const V kDelay[] = {{"!t", "<delay>"},
                    {"<number>", nullptr},
                    {"!", "Number of seconds between invocations"},
                    {nullptr, nullptr}};
const V kCmdhist[] = {
    {"!t", "<history>"}, {"<value>", nullptr}, {"!", "Valid values between 3 and 1000"}, {nullptr, nullptr}};
const V kColumns[] = {{"!t", "<columns>"},
                      {"<value>", nullptr},
                      {"!", "Valid values between 1 and 50 or the value 'auto'"},
                      {nullptr, nullptr}};
const V kColwidth[] = {
    {"!t", "<width>"}, {"<number>", nullptr}, {"!", "Valid values between 5 and 200"}, {nullptr, nullptr}};
const V kHistory[] = {{"!t", "<history>"},
                      {"<value>", nullptr},
                      {"!", "Valid values between 100 and 1000000"},
                      {nullptr, nullptr}};
const V kRespwait[] = {{"!t", "<respwait>"},
                       {"<number>", nullptr},
                       {"!", "Valid values between 1 and 1000"},
                       {nullptr, nullptr}};
const V kSeparator[] = {{"!t", "<type>"},
                        {"msg", "MQ Detail messages are displayed"},
                        {"none", "Nothing is display between objects"},
                        {"blank", "Shows a blanks line between objects"},
                        {"dotted", "Shows a dotted line between objects"},
                        {"solid", "Shows a solid line between objects"},
                        {nullptr, nullptr}};
const V kShowKey[] = {{"", "If no value is given the key information display is toggled"},
                      {"on", nullptr},
                      {"off", nullptr},
                      {nullptr, nullptr}};
const V kShowParse[] = {{"", "If no value is given the parse display is toggled"},
                        {"on", nullptr},
                        {"off", nullptr},
                        {nullptr, nullptr}};
const V kScreen[] = {{"!t", "<Screen>"},
                     {"help", "Shows the help screen"},
                     {"keys", nullptr},
                     {"mqsc", nullptr},
                     {"next", "Cycles round the available screens"},
                     {"sets", nullptr},
                     {nullptr, nullptr}};

const P kCache[] = {
    {"maxager", "Set the maximum age of object cache for remote Queue Managers", nullptr, kAge},
    {"maxagel", "Set the maximum age of object cache for local Queue Managers", nullptr, kAge},
    {"purge", "Discard the current cache contents", nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};
const P kCcdt[] = {{"file", "CCDT file name", nullptr, kAny},
                   {"version", "CCDT version", nullptr, kCcdtVersion},
                   {nullptr, nullptr, nullptr, nullptr}};
const P kColourParms[] = {{"bright", "Set whether colours should be bright or not", nullptr, kOnOffSets},
                          {"colours", "Set whether colours are shown", nullptr, kOnOffSets},
                          {"fgcommand", "Set the command foreground colour", nullptr, kColour},
                          {"bgcommand", "Set the command background colour", nullptr, kColour},
                          {"fgdefault", "Set the default foreground colour", nullptr, kColour},
                          {"bgdefault", "Set the default background colour", nullptr, kColour},
                          {"fgerror", "Set the error foreground colour", nullptr, kColour},
                          {"bgerror", "Set the error background colour", nullptr, kColour},
                          {"fginput", "Set the input foreground colour", nullptr, kColour},
                          {"bginput", "Set the input background colour", nullptr, kColour},
                          {"fgmsgs", "Set the supplementary messages foreground colour", nullptr, kColour},
                          {"bgmsgs", "Set the supplementary messages background colour", nullptr, kColour},
                          {"fgoutput", "Set the output foreground colour", nullptr, kColour},
                          {"bgoutput", "Set the output background colour", nullptr, kColour},
                          {"fgprompt", "Set the prompt foreground colour", nullptr, kColour},
                          {"bgprompt", "Set the prompt background colour", nullptr, kColour},
                          {"fgscroll", "Set the scroll foreground colour", nullptr, kColour},
                          {"bgscroll", "Set the scroll background colour", nullptr, kColour},
                          {nullptr, nullptr, nullptr, nullptr}};
const P kConn[] = {{"ccdturl", "URL location of CCDT file", nullptr, kAny},
                   {"certlabl", "SSL/TLS Certificate label", nullptr, kAny},
                   {"channel", "Client channel name", nullptr, kAny},
                   {"client", "Make a client connection", nullptr, nullptr},
                   {"cmdq", "The name of the command queue", nullptr, kAny},
                   {"comphdr", "Compress headers", nullptr, kCompHdr},
                   {"compmsg", "Compress message", nullptr, kCompMsg},
                   {"conname", "Client channel connection name", nullptr, kAny},
                   {"pwd", "Connection Password", nullptr, kAny},
                   {"qm", "Queue Manager name to administer", nullptr, kAny},
                   {"rcvdata", "Client channel receive exit data", nullptr, kAny},
                   {"rcvexit", "Client channel receive exit", nullptr, kAny},
                   {"replypfx", "The prefix value for the temporary reply queue name", nullptr, kAny},
                   {"replyq", "The name of the reply queue to use", nullptr, kAny},
                   {"scydata", "Client channel security exit data", nullptr, kAny},
                   {"scyexit", "Client channel security exit", nullptr, kAny},
                   {"senddata", "Client channel send exit data", nullptr, kAny},
                   {"sendexit", "Client channel send exit", nullptr, kAny},
                   {"sharecnv", "Client channel share conversation value", nullptr, kNumber},
                   {"sslciph", "Client channel SSL/TLS cipher specification", nullptr, kAny},
                   {"user", "Connection User Identifier", nullptr, kAny},
                   {"via", "Queue Manager to connect to if no direct connection", nullptr, kAny},
                   {"wait", "Wait time for a valid connection", nullptr, kNumber},
                   {nullptr, nullptr, nullptr, nullptr}};
const P kEcho[] = {{"input", "Overall input line echo setting", nullptr, kEchoInput},
                   {"cmds", "Are input commands echoed", nullptr, kYesNoActive},
                   {"func", "Are functions echoed", nullptr, kYesNoActive},
                   {"lang", "Are input language statements echoed", nullptr, kYesNoActive},
                   {"langcon", "Are input language statements from console echoed", nullptr, kYesNoActive},
                   {"resp", "Are command responses echoed", nullptr, kYesNoActive},
                   {"blank", "Are blank lines echoed", nullptr, kYesNoActive},
                   {nullptr, nullptr, nullptr, nullptr}};
const P kImport[] = {{"cmdhist", "Keep command history", nullptr, nullptr},
                     {"file", "Import file name", nullptr, kAny},
                     {"parms", "Parmeters passed to the import file", nullptr, kAny},
                     {"quiet", "Does not display commands", nullptr, nullptr},
                     {"sof", "Stop on first first failure", nullptr, nullptr},
                     {nullptr, nullptr, nullptr, nullptr}};
const P kKey[] = {{"cmd", "Command to enter", nullptr, kAny},
                  {"action", "Action to perform", nullptr, kAny},
                  {"clear", "Initially clear the command line", nullptr, nullptr},
                  {"name", "User name of key", nullptr, kAny},
                  {"noenter", "No automatic execution of command", nullptr, nullptr},
                  {"nolog", "Do not add to command history", nullptr, nullptr},
                  {nullptr, nullptr, nullptr, nullptr}};
const P kKeynameParms[] = {{"seq", "Sequence of keys", nullptr, kAny}, {nullptr, nullptr, nullptr, nullptr}};
const P kMerge[] = {{"ccdt", "CCDT file name", nullptr, kAny},
                    {"channel", "Channels to copy", nullptr, kAny},
                    {"replace", "Whether to replace same named channels", nullptr, kYesNo},
                    {nullptr, nullptr, nullptr, nullptr}};
const P kZunt[] = {{"cmdq", "The name of the command queue", nullptr, kAny},
                   {nullptr, nullptr, nullptr, nullptr}};
const P kOutput[] = {{"append", "Should the file be appended to", nullptr, kYesNo},
                     {"file", "Output file name", nullptr, kAny},
                     {nullptr, nullptr, nullptr, nullptr}};
const P kRepeat[] = {{"clear", "Clear screen before issuing command", nullptr, nullptr},
                     {"cmd", "Command to enter", nullptr, kAny},
                     {"delay", "Delay between successive invocations", nullptr, kDelay},
                     {"keep", "Keep last command response", nullptr, nullptr},
                     {"history", "Keep history of all responses", nullptr, nullptr},
                     {nullptr, nullptr, nullptr, nullptr}};
const P kSet[] = {
    {"authmsgs", "Set whether authorisation failure messages are displayed", nullptr, kOnOff},
    {"autosep", "Set whether display of separators is conditional", nullptr, kOnOff},
    {"cmdhist", "Set the maximum command history", nullptr, kCmdhist},
    {"columns", "Set the number of columns", nullptr, kColumns},
    {"colwidth", "Set the 'auto' column width", nullptr, kColwidth},
    {"cswhere", "Set case sensitivity of =WHERE() clause", nullptr, kOnOff},
    {"distotals", "Set whether totals should be displayed after DISPLAY command", nullptr, kOnOff},
    {"filepath", "Set the default import file path", nullptr, kAny},
    {"formatting", "Set whether MQSC output is formatted", nullptr, kOnOff},
    {"history", "Set the maximum output history", nullptr, kHistory},
    {"mcursor", "Set whether mouse click sets cursor position", nullptr, kOnOff},
    {"prompt", "Set the prompt format", nullptr, kAny},
    {"respwait", "Set the MQ response wait time", nullptr, kRespwait},
    {"separator", "Set the object list separator", nullptr, kSeparator},
    {"sound", "Set whether errors should cause a beep", nullptr, kOnOff},
    {"timestamp", "Set whether timestamps are displayed alongside commands", nullptr, kOnOff},
    {"wrap", "Set whether MQSC output is wrapped", nullptr, kOnOff},
    {nullptr, nullptr, nullptr, nullptr}};
const P kShow[] = {{"~key", "Changes whether the key pressed information is shown", nullptr, kShowKey},
                   {"~parse", "Changes whether the command line parse info is shown", nullptr, kShowParse},
                   {"~cmdhist", "Writes the command history to the screen", nullptr, nullptr},
                   {"~memory", "Writes the memory usage to the screen", nullptr, nullptr},
                   {"~conns", "Writes the connections to the screen", nullptr, nullptr},
                   {"func", "Show which functions are defined", nullptr, kAny},
                   {"list", "Show the contents of functions", nullptr, nullptr},
                   {"machine", "Writes machine information to the screen", nullptr, nullptr},
                   {"noecho", "Show the non-echoed lines", nullptr, kYesNo},
                   {"~summary", "Writes the command issue summary to the screen", nullptr, nullptr},
                   {"scrn", "Changes what screen is shown", nullptr, kScreen},
                   {"scroll", "Changes whether scroll indicators are shown", nullptr, kOnOff},
                   {nullptr, nullptr, nullptr, nullptr}};
const P kSyn[] = {{"cmd", "Command which should be issued instead", nullptr, kAny},
                  {nullptr, nullptr, nullptr, nullptr}};

}  // namespace

const CslCommandRow cslLocalCommandTable[] = {
    {"=cache", "Change the object cache settings", kCache, nullptr},
    {"=ccdt", "Go into local CCDT edit mode", kCcdt, nullptr},
    {"=cls", "Clear the screen", nullptr, nullptr},
    {"=colour", "Change colour settings", kColourParms, nullptr},
    {"=conn", "Connect to a Queue manager", kConn, nullptr},
    {"=disc", "Disconnect from a Queue Manager", nullptr, nullptr},
    {"=echo", "Change echo settings", kEcho, nullptr},
    {"=import", "Import commands from a file", kImport, nullptr},
    {"=key", "Set or clear a key action or command", kKey, kKeyname},
    {"=keyname", "Define or delete a key name", kKeynameParms, kKeyname},
    {"=merge", "Merge CCDT files", kMerge, nullptr},
    {"=zunt", "Direct commands to ZUNT", kZunt, nullptr},
    {"=mqsc", "Direct commands to MQ", nullptr, nullptr},
    {"=output", "Set output file settings", kOutput, nullptr},
    {"=purge", "Purge command history", nullptr, nullptr},
    {"=repeat", "Issue a command repeatedly", kRepeat, nullptr},
    {"=set", "Change various program settings", kSet, nullptr},
    {"=show", "Display values or change what is shown on the screen", kShow, nullptr},
    {"=syn", "Set or clear a command synonym", kSyn, kSynonym},
    {"end", "End the program", nullptr, nullptr},
    {"quit", "End the program", nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};
