#pragma once

// Removal of the row-to-row readout bias measured in the overscan strip.
//
// Every row the camera reads carries its own bias offset, the same across the whole row
// including the 40 overscan columns at its right end, which see no light. The median of
// a row's strip samples is that row's bias; each field keeps its mean bias level and
// loses the row-to-row variation around it.

#include <cstdint>

#include "FrameAssembly.h"

namespace TarvisUSBInterface {

// 1 when a > b, -1 when a < b, 0 otherwise (equal, or not comparable).
int32_t CompareFloats(float a, float b);

// Ascending in-place insertion sort by CompareFloats; equal values keep their order.
// Does nothing when count <= 1.
void SortAscending(float* values, int32_t count);

// Index of the sorted strip sample taken as the row's bias: 21 of 40 at horizontal
// binning 1, 11 of 20 at binning 2 (the same rule), clamped into narrower strips.
uint32_t BiasSampleIndex(uint32_t stripWidth);

// The bias pass of an overscan readout: measures the bias of every raw row from the
// strip (the last 40 / SensorBinX columns) of the received fields into `rowBias`
// (RawHeight floats), then crops the active area into `image` (ImageWidth x
// ImageHeight), subtracting from each pixel its row's deviation from its field's mean
// bias when UseVerticalOverscan is set. Reads and writes only inside the buffers of
// `geometry`; image pixels the raw frame does not cover are zero.
void CorrectOverscanBias(const ReadoutGeometry& geometry, const uint8_t* firstField,
                         const uint8_t* secondField, float* image, float* rowBias);

}  // namespace TarvisUSBInterface
