#include "FitsWriter.h"

#include <fitsio.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "TempFile.h"

namespace NuvikCli {

namespace {

// Owns an open cfitsio file; closes it (ignoring errors) unless closed explicitly.
class FitsFile {
 public:
  explicit FitsFile(const std::filesystem::path& path) {
    // The disk-file form takes the name literally: no cfitsio filename syntax, so
    // brackets or a leading '!' in a user's file name mean nothing special.
    int status = 0;
    if (fits_create_diskfile(&file_, path.c_str(), &status)) {
      Fail("cannot create", path, status);
    }
  }
  ~FitsFile() {
    if (file_ != nullptr) {
      int status = 0;
      fits_close_file(file_, &status);
    }
  }
  FitsFile(const FitsFile&) = delete;
  FitsFile& operator=(const FitsFile&) = delete;

  fitsfile* Get() { return file_; }
  void Close(const std::filesystem::path& path) {
    int status = 0;
    fitsfile* f = file_;
    file_ = nullptr;
    if (fits_close_file(f, &status)) {
      Fail("cannot finish", path, status);
    }
  }

  [[noreturn]] static void Fail(const char* what, const std::filesystem::path& path, int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    fits_clear_errmsg();
    throw std::runtime_error(std::string(what) + " FITS file " + path.string() + ": " + text);
  }

 private:
  fitsfile* file_ = nullptr;
};

}  // namespace

std::string IsoUtc(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  const int millis = static_cast<int>(ms - static_cast<long long>(seconds) * 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return buffer;
}

void WriteFits(const std::filesystem::path& path, const Frame& frame, const FitsHeader& h) {
  if (frame.Width < 1 || frame.Height < 1 ||
      frame.Pixels.size() != static_cast<size_t>(frame.Width) * static_cast<size_t>(frame.Height)) {
    throw std::runtime_error("cannot write " + path.string() + ": the image is empty or incomplete");
  }
  TempFile temp(path);
  {
    FitsFile fits(temp.Path());
    fitsfile* f = fits.Get();
    int status = 0;

    // USHORT_IMG makes cfitsio write BITPIX 16 with BZERO 32768 and BSCALE 1.
    long axes[2] = {frame.Width, frame.Height};
    fits_create_img(f, USHORT_IMG, 2, axes, &status);

    // Row 0 of the image (the first row the camera reads, the top of the picture) is
    // the first row of the data; ROWORDER tells readers not to flip it.
    std::vector<uint16_t> samples(frame.Pixels.size());
    std::transform(frame.Pixels.begin(), frame.Pixels.end(), samples.begin(),
                   [](int32_t v) { return static_cast<uint16_t>(std::clamp(v, 0, 65535)); });
    long first[2] = {1, 1};
    fits_write_pix(f, TUSHORT, first, static_cast<LONGLONG>(samples.size()), samples.data(), &status);

    auto str = [&](const char* key, const std::string& value, const char* comment) {
      fits_update_key_str(f, key, value.c_str(), comment, &status);
    };
    auto fixed = [&](const char* key, double value, int decimals, const char* comment) {
      fits_update_key_fixdbl(f, key, value, decimals, comment, &status);
    };
    auto integer = [&](const char* key, long value, const char* comment) {
      fits_update_key_lng(f, key, value, comment, &status);
    };
    auto logical = [&](const char* key, bool value, const char* comment) {
      fits_update_key_log(f, key, value ? 1 : 0, comment, &status);
    };

    str("ROWORDER", "TOP-DOWN", "first data row is the top of the image");
    fixed("EXPTIME", h.ExposureSeconds, 3, "[s] exposure time");
    fixed("EXPOSURE", h.ExposureSeconds, 3, "[s] exposure time");
    str("DATE-OBS", IsoUtc(h.StartUtc), "UTC start of the exposure");
    str("IMAGETYP", h.ImageType, "type of frame");
    str("INSTRUME", h.Instrument, "camera model");
    if (h.CcdTemperature) {
      fixed("CCD-TEMP", *h.CcdTemperature, 2, "[C] sensor temperature at the start");
    }
    if (h.SetTemperature) {
      fixed("SET-TEMP", *h.SetTemperature, 2, "[C] cooler set point");
    }
    integer("XBINNING", h.BinX, "horizontal binning factor");
    integer("YBINNING", h.BinY, "vertical binning factor");
    fixed("XPIXSZ", h.PixelSizeX, 3, "[um] pixel width after binning");
    fixed("YPIXSZ", h.PixelSizeY, 3, "[um] pixel height after binning");
    integer("XORGSUBF", h.SubframeX, "subframe origin, binned columns");
    integer("YORGSUBF", h.SubframeY, "subframe origin, binned rows");
    str("READOUTM", h.FastReadout ? "fast" : "normal", "readout mode");
    integer("GAIN", h.Gain, "converter gain code");
    integer("OFFSET", h.Offset, "converter offset code");
    fits_update_key_dbl(f, "EGAIN", h.ElectronsPerAdu, -6, "[e-/ADU] electrons per converter unit", &status);
    logical("OVERSCAN", h.OverscanCorrected, "row bias from the overscan strip subtracted");
    logical("OVSCSHOW", h.OverscanShown, "image includes the overscan area");
    if (h.Mosaic) {
      str("BAYERPAT", h.Mosaic->Pattern, "colour filter mosaic");
      integer("XBAYROFF", h.Mosaic->OffsetX, "mosaic column offset of the first pixel");
      integer("YBAYROFF", h.Mosaic->OffsetY, "mosaic row offset of the first pixel");
    }
    str("SWCREATE", h.Software, "software that wrote this file");
    fits_write_date(f, &status);

    if (status != 0) {
      FitsFile::Fail("cannot write", path, status);
    }
    fits.Close(path);
  }
  temp.Commit();
}

}  // namespace NuvikCli
