// gnssctl's views against gnssd on the simulated modem: watch on a terminal
// of tmux's (the screen read with capture-pane, the pane's output followed
// through pipe-pane), the SVG drawings of sky and track --svg, and status.
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "GnssdProcess.h"

namespace gnss::test {
namespace {

using V = std::vector<std::string>;

// The elements of a document whose name and class attribute match.
std::size_t CountElements(const xmlNode* node, const char* name, const char* cls) {
    std::size_t count = 0;
    for (; node != nullptr; node = node->next) {
        if (node->type == XML_ELEMENT_NODE &&
            xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0) {
            xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>("class"));
            if (value != nullptr && xmlStrcmp(value, reinterpret_cast<const xmlChar*>(cls)) == 0)
                ++count;
            xmlFree(value);
        }
        count += CountElements(node->children, name, cls);
    }
    return count;
}

class Views : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(gnssd.Start("sim:time-scale=0.05,record=" + Record())) << gnssd.Stderr();
        const CommandResult on = gnssd.Gnssctl({"location", "on"});
        ASSERT_EQ(on.status, 0) << on.err;
    }
    void TearDown() override {
        if (tmuxStarted) Tmux({"kill-server"});
    }
    std::string Record() const { return dir.File("record.txt"); }
    // Waits for the `count`th stop of a session in the modem's record.
    bool WaitForStops(std::size_t count) {
        return WaitForText(Record(), "AT+XLSRSTOP=", count);
    }
    // tmux on a server of its own, without the user's configuration; its output.
    std::string Tmux(V args) {
        tmuxStarted = true;
        args.insert(args.begin(), {TMUX_PATH, "-f", "/dev/null", "-S", dir.File("tmux.sock")});
        const std::string out = dir.File("tmux.out");
        const int status = WaitExit(Spawn(args, out, dir.File("tmux.err")).pid);
        EXPECT_EQ(status, 0) << args[5] << ": " << ReadFile(dir.File("tmux.err"));
        return ReadFile(out);
    }
    std::string Screen(const std::string& session) { return Tmux({"capture-pane", "-p", "-t", session}); }
    // A session running `gnssctl ARGS` in a shell, 100x30, its output
    // followed in `pane`; "NAME ended: STATUS" follows its end.  The shell
    // waits on a tmux channel until the pipe is in place, so that nothing
    // drawn is missed.
    void StartGnssctl(const std::string& session, const std::string& pane, const std::string& args,
                      const std::string& name) {
        const std::string tmux = std::string(TMUX_PATH) + " -S " + dir.File("tmux.sock");
        Tmux({"new-session", "-d", "-s", session, "-x", "100", "-y", "30",
              tmux + " wait-for go-" + session + "; " + GNSSCTL_PATH + " --socket " + gnssd.Socket() +
                  " " + args + "; echo \"" + name + " ended: $?\"; exec cat"});
        Tmux({"pipe-pane", "-t", session, "-o", "cat >> " + pane});
        Tmux({"wait-for", "-S", "go-" + session});
    }
    void StartWatch(const std::string& session, const std::string& pane) {
        StartGnssctl(session, pane, "watch --interval 1", "watch");
    }

    TempDir dir;
    GnssdProcess gnssd{dir};
    bool tmuxStarted = false;
};

TEST_F(Views, WatchShowsFixesFollowsResizesAndRestoresTheTerminalOnEveryWayOut) {
    if (std::string(TMUX_PATH).empty()) GTEST_SKIP() << "tmux is not installed (./x setup)";
    const std::string pane = dir.File("pane.txt");
    StartWatch("a", pane);
    ASSERT_TRUE(WaitForText(pane, "Satellites")) << ReadFile(pane);
    std::string screen = Screen("a");
    EXPECT_NE(screen.find("100x30"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Position    47.3"), std::string::npos) << screen;
    EXPECT_NE(screen.find(" GPS  "), std::string::npos) << screen;
    EXPECT_NE(screen.find("Sky (upper case: used)"), std::string::npos) << screen;

    // Smaller: laid out again, the sky plot left out, nothing beyond the edge.
    Tmux({"resize-window", "-t", "a", "-x", "80", "-y", "24"});
    ASSERT_TRUE(WaitForText(pane, "80x24")) << ReadFile(pane);
    screen = Screen("a");
    EXPECT_NE(screen.find("Position    47.3"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Sky ("), std::string::npos) << screen;
    const V lines = Lines(screen);
    EXPECT_LE(lines.size(), 24u);
    for (const auto& line : lines) EXPECT_LE(line.size(), 80u) << line;

    // q: the shell's next line on the normal screen, the session stopped.
    Tmux({"send-keys", "-t", "a", "q"});
    ASSERT_TRUE(WaitForText(pane, "watch ended: 0")) << ReadFile(pane);
    EXPECT_NE(Screen("a").find("watch ended: 0"), std::string::npos);
    EXPECT_EQ(Tmux({"display-message", "-p", "-t", "a", "#{alternate_on}"}), "0\n");
    EXPECT_TRUE(WaitForStops(1)) << ReadFile(Record());

    // SIGTERM likewise.
    const std::string pane2 = dir.File("pane2.txt");
    StartWatch("b", pane2);
    ASSERT_TRUE(WaitForText(pane2, "Satellites")) << ReadFile(pane2);
    const std::string shell = Tmux({"display-message", "-p", "-t", "b", "#{pane_pid}"});
    const std::string shellPid = shell.substr(0, shell.find('\n'));
    const pid_t watch = std::stoi(ReadFile("/proc/" + shellPid + "/task/" + shellPid + "/children"));
    ASSERT_EQ(::kill(watch, SIGTERM), 0);
    ASSERT_TRUE(WaitForText(pane2, "watch ended: 0")) << ReadFile(pane2);
    EXPECT_EQ(Tmux({"display-message", "-p", "-t", "b", "#{alternate_on}"}), "0\n");
    EXPECT_TRUE(WaitForStops(2)) << ReadFile(Record());

    // Following another client's session through its NMEA: no session of its own.
    const std::string pane3 = dir.File("pane3.txt");
    StartGnssctl("c", pane3, "watch --follow", "watch");
    ASSERT_TRUE(WaitForText(pane3, "following the running sessions' NMEA")) << ReadFile(pane3);
    const std::string trackOut = dir.File("track.out");
    const Spawned track = gnssd.GnssctlAsync({"track"}, trackOut);
    // The constellations' headings come once the whole epoch is in.
    ASSERT_TRUE(WaitForText(pane3, "GPS  ")) << ReadFile(pane3);
    screen = Screen("c");
    EXPECT_NE(screen.find("following the running sessions' NMEA"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Position    47.3"), std::string::npos) << screen;
    // gnssd knows of one session: the track's.
    const CommandResult status = gnssd.Gnssctl({"status"});
    EXPECT_NE(status.out.find("Fix sessions      1: " + std::to_string(track.pid) + " continuous"),
              std::string::npos)
        << status.out;
    Tmux({"send-keys", "-t", "c", "q"});
    ASSERT_TRUE(WaitForText(pane3, "watch ended: 0")) << ReadFile(pane3);
    ::kill(track.pid, SIGTERM);
    EXPECT_EQ(WaitExit(track.pid), 0);

    // Without a terminal it refuses before starting anything.
    const CommandResult piped = gnssd.Gnssctl({"watch"});
    EXPECT_EQ(piped.status, 2);
    EXPECT_NE(piped.err.find("watch needs a terminal"), std::string::npos) << piped.err;
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Views, SkyAndTrackDrawWellFormedSvgWithAMarkPerSatelliteAndAPointPerFix) {
    const std::string sky = dir.File("sky.svg");
    const CommandResult drawn = gnssd.Gnssctl({"sky", "--svg", sky});
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    // "gnssctl: N satellites in view, M used; ..."
    const std::size_t inView = std::stoul(drawn.err.substr(drawn.err.find(' ') + 1));
    EXPECT_GT(inView, 4u) << drawn.err;
    xmlDocPtr doc = xmlReadFile(sky.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
    ASSERT_NE(doc, nullptr) << "not well-formed:\n" << ReadFile(sky);
    EXPECT_STREQ(reinterpret_cast<const char*>(xmlDocGetRootElement(doc)->name), "svg");
    EXPECT_EQ(CountElements(xmlDocGetRootElement(doc), "g", "satellite"), inView);
    EXPECT_EQ(CountElements(xmlDocGetRootElement(doc), "g", "legend"), 1u);
    xmlFreeDoc(doc);

    // To standard output.
    const CommandResult out = gnssd.Gnssctl({"sky", "--svg", "-"});
    ASSERT_EQ(out.status, 0) << out.err;
    doc = xmlReadMemory(out.out.data(), static_cast<int>(out.out.size()), nullptr, nullptr,
                        XML_PARSE_NONET | XML_PARSE_NOERROR);
    ASSERT_NE(doc, nullptr) << out.out;
    EXPECT_GT(CountElements(xmlDocGetRootElement(doc), "g", "satellite"), 4u);
    xmlFreeDoc(doc);

    const std::string track = dir.File("track.svg");
    const CommandResult tracked = gnssd.Gnssctl({"track", "--interval", "1", "--count", "4", "--svg", track});
    ASSERT_EQ(tracked.status, 0) << tracked.err;
    doc = xmlReadFile(track.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
    ASSERT_NE(doc, nullptr) << "not well-formed:\n" << ReadFile(track);
    EXPECT_EQ(CountElements(xmlDocGetRootElement(doc), "circle", "fix"), 4u);
    xmlFreeDoc(doc);

    // A file that cannot be written costs no session.
    const std::size_t requests = CountOccurrences(ReadFile(Record()), "AT+XLCSLSR=");
    const CommandResult bad = gnssd.Gnssctl({"sky", "--svg", dir.File("no/such/folder.svg")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(CountOccurrences(ReadFile(Record()), "AT+XLCSLSR="), requests);
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Views, StatusReflectsTheSwitchesAnotherClientsSessionAndTheNmeaLogFile) {
    CommandResult status = gnssd.Gnssctl({"status"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("Location service  on\nTest mode         off\n"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("NMEA log file     off (the file would be " +
                              dir.File("NmeaLog.txt") + ")\nModem             attached\n"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("Fix sessions      none\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("Clients           1 of 3 "), std::string::npos) << status.out;

    const std::string trackOut = dir.File("track.out");
    const Spawned track = gnssd.GnssctlAsync({"track", "--interval", "2"}, trackOut);
    ASSERT_TRUE(WaitForText(trackOut, "\n"));  // its session runs
    status = gnssd.Gnssctl({"status"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("Fix sessions      1: " + std::to_string(track.pid) +
                              " continuous every 2 s\n"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("Clients           2 of 3 "), std::string::npos) << status.out;
    EXPECT_EQ(status.out.find("Last fix          none"), std::string::npos) << status.out;
    ::kill(track.pid, SIGTERM);
    EXPECT_EQ(WaitExit(track.pid), 0);

    ASSERT_EQ(gnssd.Gnssctl({"location", "off"}).status, 0);
    status = gnssd.Gnssctl({"status"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("Location service  off\nTest mode         off\n"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("Fix sessions      none\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("Last fix          unknown"), std::string::npos) << status.out;

    // Test mode, which the driver's refusals alone cannot tell from the service being off.
    ASSERT_EQ(gnssd.Gnssctl({"location", "on"}).status, 0);
    ASSERT_EQ(gnssd.Gnssctl({"selftest", "--test-mode", "on"}).status, 0);
    status = gnssd.Gnssctl({"status"});
    EXPECT_NE(status.out.find("Location service  on\nTest mode         on\n"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("Last fix          unknown"), std::string::npos) << status.out;
    ASSERT_EQ(gnssd.Gnssctl({"selftest", "--test-mode", "off"}).status, 0);

    const CommandResult logged = gnssd.Gnssctl({"nmea", "--log", "on"});
    EXPECT_EQ(logged.status, 0) << logged.err;
    status = gnssd.Gnssctl({"status"});
    EXPECT_NE(status.out.find("NMEA log file     on, " + dir.File("NmeaLog.txt") + "\n"),
              std::string::npos)
        << status.out;
    EXPECT_EQ(gnssd.Stop(), 0);

    // Into a folder that does not exist: the driver takes the switch and
    // cannot create the file, which gnssctl says.
    const std::string missing = dir.File("no-such-folder");
    ASSERT_TRUE(gnssd.Start("sim:time-scale=0.05", {"--nmea-log", missing + "/NmeaLog.txt"}))
        << gnssd.Stderr();
    const CommandResult failed = gnssd.Gnssctl({"nmea", "--log", "on"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "gnssctl: nmea --log on: the driver took the switch but cannot create " +
                              missing + "/NmeaLog.txt: the folder " + missing +
                              " does not exist (create it, or start gnssd with another "
                              "--nmea-log)\n");
    status = gnssd.Gnssctl({"status"});
    EXPECT_NE(status.out.find("NMEA log file     on, " + missing + "/NmeaLog.txt: the folder " +
                              missing + " does not exist: the driver cannot create the file\n"),
              std::string::npos)
        << status.out;
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Views, WaitsSayWhatHappensAndARefusalEndsThemAtOnce) {
    if (std::string(TMUX_PATH).empty()) GTEST_SKIP() << "tmux is not installed (./x setup)";
    // Before the location service is on: the refusal in words, at once (no
    // 60-second wait for a fix that cannot come).
    ASSERT_EQ(gnssd.Gnssctl({"location", "off"}).status, 0);
    const std::string pane = dir.File("fix.txt");
    StartGnssctl("f", pane, "fix", "fix");
    ASSERT_TRUE(WaitForText(pane, "fix ended: 1")) << ReadFile(pane);
    EXPECT_NE(Screen("f").find("refused: the location service is off (gnssctl location on)"),
              std::string::npos)
        << Screen("f");

    // NMEA with no session anywhere: the line on the terminal, then the hint.
    ASSERT_EQ(gnssd.Gnssctl({"location", "on"}).status, 0);
    const std::string nmea = dir.File("nmea.txt");
    StartGnssctl("n", nmea, "nmea", "nmea");
    ASSERT_TRUE(WaitForText(nmea, "waiting for NMEA: 2 s; nothing from the receiver yet"))
        << ReadFile(nmea);
    ASSERT_TRUE(WaitForText(nmea, "no fix session is running")) << ReadFile(nmea);
    Tmux({"send-keys", "-t", "n", "C-c"});
    ASSERT_TRUE(WaitForText(nmea, "nmea ended: 0")) << ReadFile(nmea);
    // Off a terminal nothing of it reaches standard error.
    const CommandResult piped = gnssd.Gnssctl({"nmea", "--timeout", "0.5"});
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.err, "gnssctl: nmea: no sentence for 500 ms\n");
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Views, TrackEndsCleanlyWhenItsReaderGoesAndKeepsFilesItWasNotToldToReplace) {
    // gnssctl track | head -1: the pipe's end stops the session, exit status 0.
    const std::string shell = std::string("set -o pipefail; ") + GNSSCTL_PATH + " --socket " +
                              gnssd.Socket() + " track | head -1";
    const std::string headOut = dir.File("head.out");
    EXPECT_EQ(WaitExit(Spawn({"/bin/bash", "-c", shell}, headOut, headOut + ".err").pid), 0)
        << ReadFile(headOut + ".err");
    EXPECT_EQ(Lines(ReadFile(headOut)).size(), 1u);
    EXPECT_TRUE(WaitForStops(1)) << ReadFile(Record());

    // Interrupted before --count fixes came: status 1, the session stopped.
    const std::string out = dir.File("track.out");
    const Spawned track = gnssd.GnssctlAsync({"track", "--count", "1000"}, out);
    ASSERT_TRUE(WaitForText(out, "\n"));
    ::kill(track.pid, SIGINT);
    EXPECT_EQ(WaitExit(track.pid), 1);
    EXPECT_NE(ReadFile(out + ".err").find("track: interrupted after "), std::string::npos)
        << ReadFile(out + ".err");
    EXPECT_TRUE(WaitForStops(2)) << ReadFile(Record());

    // GPX streamed to standard output: a whole document.
    const CommandResult gpx = gnssd.Gnssctl({"track", "--count=2", "--gpx=-"});
    ASSERT_EQ(gpx.status, 0) << gpx.err;
    xmlDocPtr doc = xmlReadMemory(gpx.out.data(), static_cast<int>(gpx.out.size()), nullptr,
                                  nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
    ASSERT_NE(doc, nullptr) << gpx.out;
    xmlFreeDoc(doc);
    EXPECT_EQ(CountOccurrences(gpx.out, "<trkpt "), 2u) << gpx.out;

    // An existing file is kept, and costs no session; --force replaces it.
    const std::string file = dir.File("kept.gpx");
    WriteFile(file, "mine\n");
    const std::size_t requests = CountOccurrences(ReadFile(Record()), "AT+XLCSLSR=");
    const CommandResult kept = gnssd.Gnssctl({"track", "--count", "1", "--gpx", file});
    EXPECT_EQ(kept.status, 2);
    EXPECT_NE(kept.err.find("exists; give --force to replace it"), std::string::npos) << kept.err;
    EXPECT_EQ(ReadFile(file), "mine\n");
    EXPECT_EQ(CountOccurrences(ReadFile(Record()), "AT+XLCSLSR="), requests);
    ASSERT_EQ(gnssd.Gnssctl({"track", "--count", "1", "--gpx", file, "--force"}).status, 0);
    EXPECT_EQ(CountOccurrences(ReadFile(file), "<trkpt "), 1u);
    EXPECT_EQ(gnssd.Stop(), 0);
}

TEST_F(Views, JsonOutputsMatchTheirDocumentedSchemas) {
    if (WaitExit(Spawn({"/usr/bin/python3", "-c", "import jsonschema"}, dir.File("py.out"),
                       dir.File("py.err")).pid) != 0)
        GTEST_SKIP() << "python3-jsonschema is not installed (./x setup)";
    // Each line a document, checked by the schema's own validator.
    const auto valid = [&](const std::string& text, const std::string& schema) {
        int n = 0;
        for (const std::string& line : Lines(text)) {
            const std::string instance = dir.File("instance" + std::to_string(n++) + ".json");
            WriteFile(instance, line);
            const std::string report = dir.File("jsonschema.out");
            const int status = WaitExit(Spawn({"/usr/bin/python3", "-m", "jsonschema", "-i", instance,
                                               std::string(SCHEMA_DIR) + "/" + schema},
                                              report, report)
                                            .pid);
            EXPECT_EQ(status, 0) << schema << " refuses " << line << ":\n" << ReadFile(report);
        }
        return n;
    };
    const CommandResult info = gnssd.Gnssctl({"info", "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(valid(info.out, "info.schema.json"), 1);

    const CommandResult fix = gnssd.Gnssctl({"fix", "--json"});
    ASSERT_EQ(fix.status, 0) << fix.err;
    EXPECT_EQ(valid(fix.out, "fix.schema.json"), 1);
    EXPECT_NE(fix.out.find("\"mode\":\"3d\""), std::string::npos) << fix.out;
    EXPECT_NE(fix.out.find("\"constellations\":[{\"name\":\"GPS\",\"inView\":"), std::string::npos)
        << fix.out;

    const CommandResult track = gnssd.Gnssctl({"track", "--count", "3", "--json"});
    ASSERT_EQ(track.status, 0) << track.err;
    EXPECT_EQ(valid(track.out, "fix.schema.json"), 3);
    // The schema is no rubber stamp: it refuses a fix without its mode.
    std::string broken = Lines(fix.out).at(0);
    broken.replace(broken.find("\"mode\":\"3d\","), 12, "");
    const std::string instance = dir.File("broken.json");
    WriteFile(instance, broken);
    EXPECT_NE(WaitExit(Spawn({"/usr/bin/python3", "-m", "jsonschema", "-i", instance,
                              std::string(SCHEMA_DIR) + "/fix.schema.json"},
                             dir.File("b.out"), dir.File("b.out"))
                           .pid),
              0);
    EXPECT_EQ(gnssd.Stop(), 0);
}

}  // namespace
}  // namespace gnss::test
