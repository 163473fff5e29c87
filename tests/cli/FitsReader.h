#pragma once

// Reads a FITS file back with cfitsio for the tests: the image as cfitsio scales it
// (BZERO applied) and the raw header cards.

#include <fitsio.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

struct FitsContents {
  int Bitpix = 0;
  long Width = 0, Height = 0;
  std::vector<uint16_t> Pixels;                 // row-major, first data row first
  std::map<std::string, std::string> Values;    // keyword -> value text (strings without quotes)
  std::map<std::string, std::string> Comments;  // keyword -> comment

  bool Has(const std::string& key) const { return Values.count(key) != 0; }
  double Number(const std::string& key) const { return std::stod(Values.at(key)); }
  uint16_t At(long x, long y) const { return Pixels[static_cast<size_t>(y * Width + x)]; }
};

inline FitsContents ReadFits(const std::string& path) {
  FitsContents c;
  fitsfile* f = nullptr;
  int status = 0;
  if (fits_open_diskfile(&f, path.c_str(), READONLY, &status)) {
    throw std::runtime_error("cfitsio cannot open " + path);
  }
  int naxis = 0;
  long axes[2] = {0, 0};
  fits_get_img_param(f, 2, &c.Bitpix, &naxis, axes, &status);
  c.Width = axes[0];
  c.Height = axes[1];
  c.Pixels.resize(static_cast<size_t>(c.Width * c.Height));
  long first[2] = {1, 1};
  int anyNull = 0;
  fits_read_pix(f, TUSHORT, first, static_cast<LONGLONG>(c.Pixels.size()), nullptr, c.Pixels.data(), &anyNull,
                &status);
  int cards = 0;
  fits_get_hdrspace(f, &cards, nullptr, &status);
  for (int i = 1; i <= cards; ++i) {
    char key[FLEN_KEYWORD], value[FLEN_VALUE], comment[FLEN_COMMENT];
    fits_read_keyn(f, i, key, value, comment, &status);
    std::string v = value;
    if (v.size() >= 2 && v.front() == '\'') {
      char unquoted[FLEN_VALUE];
      int s2 = 0;
      fits_read_key_str(f, key, unquoted, nullptr, &s2);
      v = unquoted;
    }
    c.Values[key] = v;
    c.Comments[key] = comment;
  }
  fits_close_file(f, &status);
  if (status != 0) {
    throw std::runtime_error("cfitsio cannot read " + path);
  }
  return c;
}
