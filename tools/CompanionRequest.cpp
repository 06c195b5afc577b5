// CompanionRequest: builds the companion app's request texts and reads the Sign of its PCConnection files.
#include "CompanionRequest.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>

#include "CJson.h"
#include "TextEncoding.h"

namespace ruvo::phone {

namespace {

// A JSON string with the escapes the app itself writes: '"' and '\' only.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// An optional minus followed by one digit or more.
bool IsWholeNumber(const std::string& text) {
    const size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > start &&
           std::all_of(text.begin() + start, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Values are passed on as given: bare when they read as a whole number, else as a string, so
// that whatever a user types reaches the assistant, which judges it.
std::string NumberOrString(const std::string& text) { return IsWholeNumber(text) ? text : Quoted(text); }

}  // namespace

std::string RequestText(const CompanionRequest& request, const std::string& sign) {
    std::string text = "[{\"Sign\":" + sign + ",\"Command\":" + Quoted(request.command);
    if (request.command == "addring") {
        text += ",\"Parms\":[{\"filepatch\":" + Quoted(request.file) + ",\"storename\":" + Quoted(request.title) +
                ",\"timems\":" + NumberOrString(request.seconds) + "}]";
    } else if (request.command == "delring") {
        text += ",\"Parms\":[{\"PID\":[";
        for (size_t i = 0; i < request.pids.size(); ++i) text += (i ? "," : "") + NumberOrString(request.pids[i]);
        text += "]}]";
    }
    return text + "}]";
}

std::optional<std::string> FileSign(std::string_view bytes) {
    // The reader builds the array's object only once the array's closing bracket is there, so
    // a file cut short anywhere yields no Sign.
    const std::unique_ptr<CJson> root(CJson::Parse(Utf8ToText(bytes)));
    CJson* object = root->GetChild(0);
    CJson* sign = object ? object->FindChild(u"Sign", u"") : nullptr;
    if (!sign) return std::nullopt;
    return TextToUtf8(sign->GetValue());
}

std::string FreshSign(const std::vector<std::string>& taken) {
    constexpr int64_t kRange = 1000000000;
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    int64_t sign = now.count() % kRange + 1;
    while (std::find(taken.begin(), taken.end(), std::to_string(sign)) != taken.end()) sign = sign % kRange + 1;
    return std::to_string(sign);
}

}  // namespace ruvo::phone
