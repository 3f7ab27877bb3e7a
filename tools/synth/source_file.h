// Builds projection source files byte by byte: the preamble, header elements
// in any order and with any declared length, the end element at a chosen
// place, and pixel data of either sample form. Tests use it to make every
// input they read; make-study uses it to write sample studies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace trevik::synth {

class SourceFile {
public:
    // A preamble with the given sample size at offset 18, followed by the two
    // elements (0000,0000) and (0000,0001) that mark a projection file.
    explicit SourceFile(std::int16_t sampleBits = 16, bool marks = true);

    // Overwrites one big-endian word of the preamble (offsets 0 to 62).
    SourceFile& preambleWord(std::size_t offset, std::uint16_t value);

    // Appends an element header with a declared length and the given bytes,
    // which need not match the length.
    SourceFile& raw(std::uint16_t group, std::uint16_t element, std::int32_t length, std::string_view value);
    // Appends an element whose length is its value's size.
    SourceFile& element(std::uint16_t group, std::uint16_t element, std::string_view value);
    SourceFile& be16(std::uint16_t group, std::uint16_t element, std::int16_t value);
    SourceFile& be32(std::uint16_t group, std::uint16_t element, std::int32_t value);
    // (0019,1304): hr in bytes 0-1, division in bytes 8-9, `length` bytes in all.
    SourceFile& heartRate(std::int16_t hr, std::int16_t division, std::int32_t length = 10);
    // (0019,1311): slicePixels in bytes 8-9, byte 20 "M" when reversed.
    SourceFile& sliceAndOrder(std::int16_t slicePixels, bool reverse, std::int32_t length = 21);
    // Appends a skipped element (0009,0010) so that the next element header
    // (normally the end element) ends at file offset `headerEnd`.
    SourceFile& padHeaderTo(std::size_t headerEnd);
    // Appends the end element (6B01,1004) with length 0 and zero bytes up to
    // the next 1024-byte boundary strictly behind its header.
    SourceFile& end();

    SourceFile& samples16(const std::vector<std::int16_t>& values);
    SourceFile& samplesFloat(const std::vector<float>& values);
    SourceFile& bytes(std::string_view data);

    // Offset where the pixel data starts (valid after end()).
    std::size_t pixelStart() const { return pixelStart_; }
    std::size_t size() const { return data_.size(); }
    const std::vector<unsigned char>& data() const { return data_; }
    // Drops everything from byte `size` on.
    SourceFile& cut(std::size_t size);
    // Writes the file; throws std::runtime_error when it cannot.
    void save(const std::string& path) const;

private:
    void put16(std::uint16_t v);
    void put32(std::uint32_t v);
    std::vector<unsigned char> data_;
    std::size_t pixelStart_ = 0;
};

// A complete, valid study described by its facts.
struct StudyPlan {
    int matrix = 64;            // 64 or 128
    bool floats = false;        // float samples (sampleBits 32) or 16-bit integers
    std::int16_t hr = 60;
    std::int16_t division = 8;
    int images = 64;            // total image count written into the header
    int imagesWritten = -1;     // images of pixel data actually written; -1: all
    std::int16_t slicePixels = 1;
    bool reverse = false;
    std::string pixelSpacing = "6.4\\6.4";
    std::string sliceThickness = "6.4";
    std::string name = "SAMPLE PATIENT";
    std::string id = "A123-45";
    std::string sex = "M";
    std::string date = "2001.05.14";
    std::string time = "10:23:45.000";
    std::string tracer = "99mTc";
    // The sample of image i at row y, column x; by default a cardiac-like
    // picture (see cardiacSample).
    std::function<double(int, int, int)> sample;
};

// A bright ring-shaped heart wall over a dim background, whose size follows
// the gate (image index modulo `gates`) and whose place turns slowly with
// the projection angle.
double cardiacSample(int image, int y, int x, int matrix, int gates, int projections);

// The source file for a plan.
SourceFile buildStudy(const StudyPlan& plan);

}  // namespace trevik::synth
