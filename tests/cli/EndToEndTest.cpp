#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FitsReader.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
  int ExitCode = -1;
  std::string Out, Err;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the nuvik executable with `args` and extra environment `env`; stdout and stderr
// go to files (no pipes to fill up). `whileRunning` gets the pid before the wait.
class Nuvik {
 public:
  explicit Nuvik(fs::path dir) : dir_(std::move(dir)) {}

  pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::vector<std::string> all{NUVIK_EXECUTABLE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    envStore_.clear();
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      // The test decides the USB layer and the simulated model itself.
      if (entry.rfind("VANTOR_USB=", 0) != 0 && entry.rfind("VANTOR_SIM_MODEL=", 0) != 0) {
        envStore_.push_back(entry);
      }
    }
    envStore_.insert(envStore_.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStore_) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << std::strerror(rc);
    return pid;
  }

  Result Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.Out = ReadFile(dir_ / "stdout");
    r.Err = ReadFile(dir_ / "stderr");
    return r;
  }

  Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return Wait(Spawn(args, env));
  }

 private:
  fs::path dir_;
  std::vector<std::string> envStore_;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("nuvik-e2e-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Files in the test directory other than the captured output streams.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) {
      const std::string n = e.path().filename().string();
      if (n != "stdout" && n != "stderr") {
        names.push_back(n);
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static double Median(std::vector<uint16_t> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
  }

  fs::path dir_;
  Nuvik nuvik_{""};
  Nuvik& Tool() {
    nuvik_ = Nuvik(dir_);
    return nuvik_;
  }
};

// Catches bad arguments that reach the camera, crash, or exit with the code of a camera
// failure, and arguments refused without saying which one is wrong.
TEST_F(EndToEnd, ArgumentErrorsExitWithCode2) {
  struct Case {
    std::vector<std::string> Args;
    const char* Mentions;
  };
  const Case cases[] = {
      {{"capture", "--simulate", "--exposure", "-1"}, "exposure"},
      {{"capture", "--simulate", "--exposure=-0.5"}, "exposure"},
      {{"capture", "--simulate", "--exposure", "abc"}, "exposure"},
      {{"capture", "--simulate", "--exposure", "20000"}, "exposure"},
      {{"capture", "--simulate", "--bin", "3"}, "bin"},
      {{"capture", "--simulate", "--bin", "0x1"}, "bin"},
      {{"capture", "--simulate", "--subframe", "700,0,100,10"}, "subframe"},
      {{"capture", "--simulate", "--bin", "2", "--subframe", "0,0,752,582"}, "subframe"},
      {{"capture", "--simulate", "--subframe", "1,2,3"}, "subframe"},
      {{"capture", "--simulate", "--type", "science"}, "type"},
      {{"capture", "--simulate", "--count", "0"}, "count"},
      {{"capture", "--simulate", "--temperature", "-45"}, "set point"},
      {{"capture", "--simulate", "--wait"}, "--temperature"},
      {{"capture", "--simulate", "--preview", "x.jpg"}, "preview"},
      {{"capture", "--simulate", "--gain", "300"}, "gain"},
      {{"capture", "--simulate", "--overscan", "--fast"}, "--overscan"},
      {{"capture", "--simulate", "--overscan", "--subframe", "0,0,100,100"}, "--overscan"},
      {{"capture", "--simulate", "--show-overscan", "--overscan"}, "--show-overscan"},
      {{"cool", "--simulate", "--set", "31"}, "set point"},
      {{"cool", "--simulate", "--on", "--off"}, "--off"},
      {{"guide", "--simulate", "up", "100"}, "direction"},
      {{"guide", "--simulate", "north", "0"}, "ms"},
      {{"guide", "--simulate", "north"}, "milliseconds"},
      {{"adc", "--simulate"}, "nothing to set"},
      {{"adc", "--simulate", "--offset", "-1"}, "offset"},
      {{"frobnicate"}, "subcommand"},
      {{}, "subcommand"},
  };
  for (const auto& c : cases) {
    const Result r = Tool().Run(c.Args);
    std::string joined;
    for (const auto& a : c.Args) {
      joined += a + " ";
    }
    EXPECT_EQ(r.ExitCode, 2) << joined << "\n" << r.Err;
    EXPECT_NE(r.Err.find(c.Mentions), std::string::npos) << joined << "\n" << r.Err;
    EXPECT_TRUE(Files().empty()) << joined;
  }
}

// Catches a help text that is missing, fails, or leaves out a subcommand or option.
TEST_F(EndToEnd, HelpDescribesCommands) {
  const Result top = Tool().Run({"--help"});
  EXPECT_EQ(top.ExitCode, 0);
  for (const char* word : {"list", "info", "capture", "cool", "guide", "adc", "--simulate"}) {
    EXPECT_NE(top.Out.find(word), std::string::npos) << word;
  }
  const Result capture = Tool().Run({"capture", "--help"});
  EXPECT_EQ(capture.ExitCode, 0);
  for (const char* option :
       {"--exposure", "--count", "--bin", "--subframe", "--fast", "--overscan", "--show-overscan", "--type",
        "--temperature", "--wait", "--output", "--preview"}) {
    EXPECT_NE(capture.Out.find(option), std::string::npos) << option;
  }
}

// Catches a missing camera reported as success or as a usage error, and a message that
// does not point the user at the usual causes.
TEST_F(EndToEnd, NoCameraIsACameraFailure) {
  const Result r = Tool().Run({"list"}, {"VANTOR_USB=libusb", "VANTOR_USB_IDS=", "LIBUSB_DEBUG=0"});
  EXPECT_EQ(r.ExitCode, 1) << r.Err;
  EXPECT_NE(r.Err.find("no camera found"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("70-vantor.rules"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("VANTOR_USB_IDS"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("cable"), std::string::npos) << r.Err;
}

// Catches wrong size, wrong data type, rows flipped or missing keywords in the file a
// user stacks, a sky without visible stars, and control characters in piped output.
TEST_F(EndToEnd, MonoFullFrame) {
  const Result r = Tool().Run({"capture", "--simulate", "--exposure", "2", "--output", "x.fits"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const FitsContents c = ReadFits((dir_ / "x.fits").string());
  EXPECT_EQ(c.Bitpix, 16);
  EXPECT_EQ(c.Number("BZERO"), 32768.0);
  EXPECT_EQ(c.Width, 752);
  EXPECT_EQ(c.Height, 582);
  EXPECT_EQ(c.Values.at("ROWORDER"), "TOP-DOWN");
  EXPECT_DOUBLE_EQ(c.Number("EXPTIME"), 2.0);
  EXPECT_DOUBLE_EQ(c.Number("EXPOSURE"), 2.0);
  EXPECT_EQ(c.Values.at("IMAGETYP"), "Light Frame");
  EXPECT_EQ(c.Values.at("INSTRUME"), "Velmar Q7 Deep Sky Monochromatic Camera");
  EXPECT_TRUE(c.Has("CCD-TEMP"));
  EXPECT_FALSE(c.Has("SET-TEMP"));  // the cooler is off
  EXPECT_EQ(c.Number("XBINNING"), 1);
  EXPECT_NEAR(c.Number("XPIXSZ"), 8.6, 1e-3);
  EXPECT_NEAR(c.Number("YPIXSZ"), 8.3, 1e-3);
  EXPECT_EQ(c.Number("XORGSUBF"), 0);
  EXPECT_EQ(c.Values.at("READOUTM"), "normal");
  EXPECT_EQ(c.Number("GAIN"), 185);
  EXPECT_EQ(c.Number("OFFSET"), 127);
  EXPECT_NEAR(c.Number("EGAIN"), 0.789, 1e-4);
  EXPECT_EQ(c.Values.at("OVERSCAN"), "F");
  EXPECT_EQ(c.Values.at("SWCREATE").rfind("nuvik", 0), 0u);
  EXPECT_FALSE(c.Has("BAYERPAT"));
  const std::string date = c.Values.at("DATE-OBS");
  EXPECT_EQ(date.size(), 23u) << date;  // 2026-12-11T20:15:00.123
  EXPECT_EQ(date[10], 'T');
  EXPECT_EQ(date[19], '.');

  const double median = Median(c.Pixels);
  const double max = *std::max_element(c.Pixels.begin(), c.Pixels.end());
  EXPECT_GT(median, 500.0);  // bias and sky, nothing clipped to 0
  EXPECT_GT(max, median + 20000.0);
  size_t starPixels = 0;
  for (uint16_t p : c.Pixels) {
    starPixels += p > median + 500.0;
  }
  EXPECT_GT(starPixels, 500u);  // many stars, not a few hot pixels

  EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), 1) << r.Out;
  EXPECT_NE(r.Out.find("x.fits"), std::string::npos);
  for (char ch : r.Out + r.Err) {
    EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch < 0x7f)) << static_cast<int>(ch);
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"x.fits"});
}

// Catches colour frames without their mosaic keywords, or keywords that disagree with
// the camera's mosaic: the pixels the keywords call red must see the redder sky. The
// overscan cases catch an offset taken from the raw window instead of the image.
TEST_F(EndToEnd, ColourFramesCarryTheirMosaic) {
  struct Case {
    std::vector<std::string> Options;
    long Width, Height, OffsetX, OffsetY;
  };
  const Case cases[] = {
      {{}, 752, 582, 0, 0},
      {{"--overscan"}, 752, 582, 0, 0},
      {{"--subframe", "1,1,750,580"}, 750, 580, 1, 1},
      {{"--subframe", "2,3,700,500"}, 700, 500, 0, 1},
      {{"--show-overscan"}, 795, 596, 1, 0},
  };
  for (const auto& k : cases) {
    std::vector<std::string> args{"capture", "--simulate", "--exposure", "2", "--output", "c.fits"};
    args.insert(args.end(), k.Options.begin(), k.Options.end());
    const std::string name = k.Options.empty() ? "full frame" : k.Options.back();
    const Result r = Tool().Run(args, {"VANTOR_SIM_MODEL=2"});
    ASSERT_EQ(r.ExitCode, 0) << name << r.Err;
    const FitsContents c = ReadFits((dir_ / "c.fits").string());
    EXPECT_EQ(c.Values.at("INSTRUME"), "Velmar Q7 Deep Sky Color Camera");
    EXPECT_EQ(c.Width, k.Width) << name;
    EXPECT_EQ(c.Height, k.Height) << name;
    ASSERT_EQ(c.Values.at("BAYERPAT"), "RGGB") << name;
    const long ox = static_cast<long>(c.Number("XBAYROFF"));
    const long oy = static_cast<long>(c.Number("YBAYROFF"));
    EXPECT_EQ(ox, k.OffsetX) << name;
    EXPECT_EQ(oy, k.OffsetY) << name;
    // Medians of the sites the keywords name red and blue: the simulated sky is redder
    // than blue, so red sites must read higher.
    std::vector<uint16_t> red, blue;
    for (long y = 0; y + 1 < c.Height; y += 2) {
      for (long x = 0; x + 1 < c.Width; x += 2) {
        red.push_back(c.At(x + ox, y + oy));
        blue.push_back(c.At(x + 1 - ox, y + 1 - oy));
      }
    }
    EXPECT_GT(Median(red), Median(blue) + 5.0) << name;
  }
}

// Catches 2x2 frames of the wrong size or pixel scale, and Bayer keywords on a binned
// colour frame (binning mixes the colours).
TEST_F(EndToEnd, Binned2x2) {
  const Result r =
      Tool().Run({"capture", "--simulate", "--exposure", "1", "--bin", "2", "--output", "b.fits"},
                 {"VANTOR_SIM_MODEL=2"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  const FitsContents c = ReadFits((dir_ / "b.fits").string());
  EXPECT_EQ(c.Width, 376);
  EXPECT_EQ(c.Height, 291);
  EXPECT_EQ(c.Number("XBINNING"), 2);
  EXPECT_EQ(c.Number("YBINNING"), 2);
  EXPECT_NEAR(c.Number("XPIXSZ"), 17.2, 1e-3);
  EXPECT_NEAR(c.Number("YPIXSZ"), 16.6, 1e-3);
  EXPECT_FALSE(c.Has("BAYERPAT"));
  EXPECT_FALSE(c.Has("XBAYROFF"));
}

// Catches a cooled capture that does not wait for the set point, or a file without the
// set point and the temperature the sensor had when the exposure started.
TEST_F(EndToEnd, CooledCaptureRecordsTemperatures) {
  const Result r = Tool().Run({"capture", "--simulate", "--temperature", "16", "--wait", "--tolerance", "0.5",
                               "--exposure", "0.1", "--output", "cold.fits"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_NE(r.Out.find("sensor at"), std::string::npos) << r.Out;
  const FitsContents c = ReadFits((dir_ / "cold.fits").string());
  const double setPoint = c.Number("SET-TEMP");
  EXPECT_NEAR(setPoint, 16.0, 0.2);
  EXPECT_NEAR(c.Number("CCD-TEMP"), setPoint, 0.5 + 0.2);
}

// Catches a series that overwrites its own frames or names them out of order, a
// preview that is not a readable PNG, and more than one output line per frame.
TEST_F(EndToEnd, SeriesWithPreviewIntoDirectory) {
  fs::create_directories(dir_ / "darks");
  const Result r = Tool().Run({"capture", "--simulate", "--type", "dark", "--exposure", "0.2", "--count", "2",
                               "--bin", "2x1", "--output", "darks", "--preview", "p.png"});
  ASSERT_EQ(r.ExitCode, 0) << r.Err;
  EXPECT_EQ(std::count(r.Out.begin(), r.Out.end(), '\n'), 2) << r.Out;
  std::vector<fs::path> frames;
  for (const auto& e : fs::directory_iterator(dir_ / "darks")) {
    frames.push_back(e.path());
  }
  std::sort(frames.begin(), frames.end());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_NE(frames[0].filename().string().find("dark-"), std::string::npos);
  EXPECT_NE(frames[0].filename().string().find("-0001.fits"), std::string::npos);
  EXPECT_NE(frames[1].filename().string().find("-0002.fits"), std::string::npos);
  const FitsContents c = ReadFits(frames[1].string());
  EXPECT_EQ(c.Values.at("IMAGETYP"), "Dark Frame");
  EXPECT_EQ(c.Width, 376);
  EXPECT_EQ(c.Height, 582);
  for (const char* name : {"p-0001.png", "p-0002.png"}) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir_ / name).c_str())) << name;
    EXPECT_EQ(image.width, 376u);
    EXPECT_EQ(image.height, 582u);
    png_image_free(&image);
  }
}

// Catches Ctrl-C that kills the tool mid-exposure (leaving a partial file or a camera
// still exposing), reports success, or hangs; the next capture must work.
TEST_F(EndToEnd, CtrlCDuringExposure) {
  Nuvik& tool = Tool();
  const pid_t pid = tool.Spawn({"capture", "--simulate", "--exposure", "30", "--output", "long.fits"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(pid, SIGINT), 0);
  const Result r = tool.Wait(pid);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
  EXPECT_EQ(r.ExitCode, 130) << r.Err;
  EXPECT_LT(took, 10.0);
  EXPECT_NE(r.Err.find("abort"), std::string::npos) << r.Err;
  EXPECT_TRUE(Files().empty());

  const Result next = Tool().Run({"capture", "--simulate", "--exposure", "0.1", "--output", "next.fits"});
  EXPECT_EQ(next.ExitCode, 0) << next.Err;
  EXPECT_EQ(Files(), std::vector<std::string>{"next.fits"});
}

// Catches the other subcommands failing on a working camera or printing nothing useful.
TEST_F(EndToEnd, OtherCommands) {
  struct Case {
    std::vector<std::string> Args;
    const char* Shows;
  };
  const Case cases[] = {
      {{"list", "--simulate"}, "Velmar Q7 Deep Sky Monochromatic Camera, firmware 1.05"},
      {{"info", "--simulate"}, "752 x 582"},
      {{"cool", "--simulate"}, "cooler:         off"},
      {{"cool", "--simulate", "--set", "-10"}, "cooler:         on"},
      {{"cool", "--simulate", "--set", "15", "--wait", "--tolerance", "1"}, "sensor at"},
      {{"guide", "--simulate", "east", "200"}, "guided east for 200 ms"},
      {{"adc", "--simulate", "--gain", "170", "--offset", "120"}, "gain 170, offset 120"},
      {{"adc", "--simulate", "--cds", "true", "--cds-timing", "3"}, "CDS"},
      {{"--simulate", "info"}, "state:"},
  };
  for (const auto& c : cases) {
    const Result r = Tool().Run(c.Args);
    EXPECT_EQ(r.ExitCode, 0) << c.Args[0] << "\n" << r.Err;
    EXPECT_NE(r.Out.find(c.Shows), std::string::npos) << c.Args[0] << "\n" << r.Out;
  }
}

}  // namespace
