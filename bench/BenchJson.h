// A flat JSON object that each benchmark program writes for bench/report.py:
// named numbers, texts and arrays of numbers, one file per program.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class BenchJson {
  public:
    void Number(const char* key, double value) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.10g", value);
        Add(key, buf);
    }
    void Text(const char* key, const std::string& value) {
        std::string quoted = "\"";
        for (char c : value)
            if (c == '"' || c == '\\')
                quoted += '\\', quoted += c;
            else if (static_cast<unsigned char>(c) >= 0x20)
                quoted += c;
        Add(key, quoted + "\"");
    }
    void Numbers(const char* key, const std::vector<double>& values) {
        std::string list = "[";
        char buf[64];
        for (size_t i = 0; i < values.size(); ++i) {
            std::snprintf(buf, sizeof buf, "%s%.10g", i ? "," : "", values[i]);
            list += buf;
        }
        Add(key, list + "]");
    }
    // Written to the build directory's bench/ folder (the programs run with
    // the build directory as their working directory).
    bool Save(const char* name) const {
        std::string path = std::string("bench/") + name + ".json";
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f) return false;
        std::fprintf(f, "{\n%s\n}\n", body_.c_str());
        return std::fclose(f) == 0;
    }

  private:
    void Add(const char* key, const std::string& value) {
        if (!body_.empty()) body_ += ",\n";
        body_ += std::string("  \"") + key + "\": " + value;
    }
    std::string body_;
};
