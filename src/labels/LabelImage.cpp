#include "labels/LabelImage.h"

#include <png.h>
#include <zint.h>

#include <algorithm>
#include <csetjmp>
#include <memory>

#include "platform/Files.h"

namespace {

struct SymbolDeleter {
  void operator()(zint_symbol* s) const { ZBarcode_Delete(s); }
};
using Symbol = std::unique_ptr<zint_symbol, SymbolDeleter>;

// One barcode drawn by the library, as a grey bitmap.
bool Draw(int symbology, const std::string& value, LabelBitmap* out, std::string* error) {
  Symbol s(ZBarcode_Create());
  if (!s) {
    *error = "the barcode library is out of memory";
    return false;
  }
  s->symbology = symbology;
  s->input_mode = DATA_MODE;  // the bytes as they are
  s->output_options = BARCODE_QUIET_ZONES;
  if (symbology == BARCODE_QRCODE) {
    s->option_1 = 3;  // error correction level Q
    s->scale = 2.0f;  // 4 pixels a module
  } else {
    s->scale = 1.0f;  // 2 pixels a module
    s->height = 40.0f;
    s->show_hrt = 1;
  }
  int rc = ZBarcode_Encode(s.get(), reinterpret_cast<const unsigned char*>(value.data()),
                           static_cast<int>(value.size()));
  if (rc < ZINT_ERROR) rc = ZBarcode_Buffer(s.get(), 0);
  if (rc >= ZINT_ERROR || !s->bitmap || s->bitmap_width <= 0 || s->bitmap_height <= 0) {
    *error = std::string(symbology == BARCODE_QRCODE ? "QR code" : "Code 128") + " of \"" + value +
             "\": " + (s->errtxt[0] ? s->errtxt : "no picture");
    return false;
  }
  out->width = s->bitmap_width;
  out->height = s->bitmap_height;
  out->pixels.resize(static_cast<size_t>(out->width) * static_cast<size_t>(out->height));
  const unsigned char* rgb = s->bitmap;
  for (size_t i = 0; i < out->pixels.size(); ++i) {
    const unsigned lum = (rgb[3 * i] + rgb[3 * i + 1] + rgb[3 * i + 2]) / 3u;
    out->pixels[i] = lum < 128 ? 0 : 255;
  }
  return true;
}

void Blit(const LabelBitmap& src, int x, int y, LabelBitmap* dst) {
  for (int r = 0; r < src.height; ++r) {
    std::copy_n(src.pixels.begin() + static_cast<ptrdiff_t>(r) * src.width, src.width,
                dst->pixels.begin() + static_cast<ptrdiff_t>(y + r) * dst->width + x);
  }
}

struct PngSink {
  std::string* bytes;
};

void PngWrite(png_structp png, png_bytep data, png_size_t len) {
  static_cast<PngSink*>(png_get_io_ptr(png))
      ->bytes->append(reinterpret_cast<const char*>(data), len);
}
void PngFlush(png_structp) {}

// libpng reports its failures by longjmp: only plain data lives in this frame.
bool EncodeRows(png_structp png, png_infop info, const LabelBitmap* bitmap, PngSink* sink) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, PngWrite, PngFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(bitmap->width),
               static_cast<png_uint_32>(bitmap->height), 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int r = 0; r < bitmap->height; ++r) {
    png_write_row(png, bitmap->pixels.data() + static_cast<ptrdiff_t>(r) * bitmap->width);
  }
  png_write_end(png, info);
  return true;
}

}  // namespace

bool RenderLabelBitmap(const LabelData& data, LabelBitmap* out, std::string* error) {
  LabelBitmap mac, serial, qr;
  if (!Draw(BARCODE_CODE128, data.mac, &mac, error)) return false;
  if (!data.serial.empty() && !Draw(BARCODE_CODE128, data.serial, &serial, error)) return false;
  if (!Draw(BARCODE_QRCODE, QrPayload(data), &qr, error)) return false;
  constexpr int kMargin = 16, kGap = 24;
  const int leftW = std::max(mac.width, serial.width);
  const int leftH = mac.height + (serial.height ? kGap + serial.height : 0);
  LabelBitmap label;
  label.width = kMargin + leftW + kGap + qr.width + kMargin;
  label.height = kMargin + std::max(leftH, qr.height) + kMargin;
  label.pixels.assign(static_cast<size_t>(label.width) * static_cast<size_t>(label.height), 255);
  Blit(mac, kMargin, kMargin, &label);
  if (serial.height) Blit(serial, kMargin, kMargin + mac.height + kGap, &label);
  Blit(qr, kMargin + leftW + kGap, kMargin, &label);
  *out = std::move(label);
  return true;
}

bool EncodePng(const LabelBitmap& bitmap, std::string* png, std::string* error) {
  png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = p ? png_create_info_struct(p) : nullptr;
  std::string bytes;
  PngSink sink{&bytes};
  const bool ok = info && EncodeRows(p, info, &bitmap, &sink);
  png_destroy_write_struct(&p, info ? &info : nullptr);
  if (!ok) {
    *error = "the PNG could not be encoded";
    return false;
  }
  *png = std::move(bytes);
  return true;
}

bool WriteLabelPng(const LabelData& data, const std::string& path, std::string* error) {
  LabelBitmap bitmap;
  std::string png;
  if (!RenderLabelBitmap(data, &bitmap, error) || !EncodePng(bitmap, &png, error)) return false;
  const int err = ReplaceFile(path, png.data(), png.size());
  if (err != 0) {
    *error = path + ": cannot be written (error " + std::to_string(err) + ")";
    return false;
  }
  return true;
}
