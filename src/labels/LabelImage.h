#pragma once
// The label as a picture for office printers: its barcodes drawn by libzint, composed
// into one grey bitmap and written as PNG.
#include <cstdint>
#include <string>
#include <vector>

#include "labels/Label.h"

// One byte a pixel, row after row: 0 black, 255 white.
struct LabelBitmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

// The Code 128 of the MAC address with its text, the serial's Code 128 with its text
// when there is one (below it), and the QR code of QrPayload (to their right). data
// must have passed NormalizeLabelData. False with *error (the barcode library's text).
bool RenderLabelBitmap(const LabelData& data, LabelBitmap* out, std::string* error);

// The bitmap as a PNG file's bytes (8-bit grey).
bool EncodePng(const LabelBitmap& bitmap, std::string* png, std::string* error);

// RenderLabelBitmap and EncodePng, the bytes written to path (replaced atomically).
bool WriteLabelPng(const LabelData& data, const std::string& path, std::string* error);
