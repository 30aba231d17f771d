#pragma once
#include <cstdint>
#include <string>

// What the user is told, as code page 932 bytes (the byte escapes spell the Japanese texts noted
// beside them). A platform that shows another character set converts these fixed texts once at
// start; paths are appended as bytes, never converted.
struct MessageTexts {
    // ファイルが存在しません:  (the file does not exist)
    std::string fileMissing =
        "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xdc\x82\xb9\x82\xf1: ";
    // ファイル形式が特定できません:  (the file format cannot be determined)
    std::string unknownFormat =
        "\x83\x74\x83\x40\x83\x43\x83\x8b\x8c\x60\x8e\xae\x82\xaa\x93\xc1\x92\xe8\x82\xc5\x82\xab"
        "\x82\xdc\x82\xb9\x82\xf1: ";
    // PSD形式:  (PSD format)
    std::string psdExists = "PSD\x8c\x60\x8e\xae: ";
    // WLX形式:  (WLX format)
    std::string wlxExists = "WLX\x8c\x60\x8e\xae: ";
    // (line break) は既に存在します、上書きしますか？  (already exists, overwrite?)
    std::string existsQuestion =
        "\n\x82\xcd\x8a\xf9\x82\xc9\x91\xb6\x8d\xdd\x82\xb5\x82\xdc\x82\xb7\x81\x41\x8f\xe3\x8f\x91"
        "\x82\xab\x82\xb5\x82\xdc\x82\xb7\x82\xa9\x81\x48";
    // ファイルの読み込みに失敗しました:  (reading the file failed)
    std::string readFailed =
        "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xc9\x8e\xb8"
        "\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd: ";
    // ファイルの書き込みに失敗しました:  (writing the file failed)
    std::string writeFailed =
        "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xc9\x8e\xb8"
        "\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd: ";
    // 変換するファイルを指定  (specify the file to convert)
    std::string chooseTitle =
        "\x95\xcf\x8a\xb7\x82\xb7\x82\xe9\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xf0\x8e\x77\x92\xe8";
};

inline constexpr const char* kMessageCaption = "rivodiv";

// Message box flags: MB_OK | MB_ICONERROR | MB_SETFOREGROUND, and
// MB_OKCANCEL | MB_ICONQUESTION | MB_SETFOREGROUND.
inline constexpr uint32_t kErrorFlags = 0x10010;
inline constexpr uint32_t kQuestionFlags = 0x10021;

// The answer that lets an overwrite go ahead (IDOK).
inline constexpr int kAnswerOk = 1;
