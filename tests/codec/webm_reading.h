// Reads a WebM file held in memory with libwebm's own parser, so the writer's
// tests check what a player would see: tracks, codec settings, blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ParsedTrack {
    long long number = 0;
    long type = 0;  // 1 video, 2 audio
    std::string codecId;
    std::vector<uint8_t> codecPrivate;
    unsigned long long codecDelay = 0;
    unsigned long long seekPreRoll = 0;
    long long width = 0;
    long long height = 0;
    double frameRate = 0;
    double samplingRate = 0;
    long long channels = 0;
    long long bitDepth = 0;
};

struct ParsedBlock {
    long long track = 0;
    long long timeNs = 0;
    bool key = false;
    std::vector<uint8_t> bytes;
};

struct ParsedWebm {
    bool ok = false;
    std::string docType;
    std::string muxingApp;
    std::string writingApp;
    std::vector<ParsedTrack> tracks;
    std::vector<ParsedBlock> blocks;  // in file order
    bool hasCues = false;
};

ParsedWebm parseWebm(const std::vector<uint8_t>& bytes);

// The blocks of one track number.
std::vector<ParsedBlock> blocksOf(const ParsedWebm& file, long long track);
