// The formats' hot paths against libplist on the same catalogues: parse and free, the JSON text of the tree, its UTF-8.
#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "CJson.h"
#include "CParseBplist.h"
#include "TextEncoding.h"

namespace {

// The catalogue of N ringtones, read once per process (written by make_catalogue.py into the
// folder named by RUVO_BENCH_DATA).
const std::string& Catalogue(int n) {
    static std::map<int, std::string> files;
    auto& bytes = files[n];
    if (bytes.empty()) {
        const char* dir = std::getenv("RUVO_BENCH_DATA");
        std::ifstream in(std::string(dir ? dir : ".") + "/catalogue-" + std::to_string(n) + ".plist", std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        bytes = data.str();
        if (bytes.empty()) std::fprintf(stderr, "bench: no catalogue of %d ringtones\n", n);
    }
    return bytes;
}

void ParseOurs(benchmark::State& state) {
    const std::string& bytes = Catalogue(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CParseBplist parser;
        std::unique_ptr<CJson> tree(
            parser.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
        benchmark::DoNotOptimize(tree.get());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void ParseLibplist(benchmark::State& state) {
    const std::string& bytes = Catalogue(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        benchmark::DoNotOptimize(root);
        plist_free(root);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void ToStringOurs(benchmark::State& state) {
    const std::string& bytes = Catalogue(static_cast<int>(state.range(0)));
    CParseBplist parser;
    std::unique_ptr<CJson> tree(
        parser.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
    for (auto _ : state) {
        std::u16string text = tree->ToString();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void ToXmlLibplist(benchmark::State& state) {
    const std::string& bytes = Catalogue(static_cast<int>(state.range(0)));
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    for (auto _ : state) {
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(root, &xml, &length);
        benchmark::DoNotOptimize(xml);
        plist_to_xml_free(xml);
    }
    plist_free(root);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void TextToUtf8Ours(benchmark::State& state) {
    const std::string& bytes = Catalogue(static_cast<int>(state.range(0)));
    CParseBplist parser;
    std::unique_ptr<CJson> tree(
        parser.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
    const std::u16string text = tree->ToString();
    for (auto _ : state) {
        std::string utf8 = TextToUtf8(text);
        benchmark::DoNotOptimize(utf8.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The whole "getring" answer of the 5,000 catalogue as the poll cycle writes it: the answer tree
// around the parsed catalogue, its text, in the ANSI code page and then as UTF-8.
void GetringAnswer(benchmark::State& state) {
    const std::string& bytes = Catalogue(static_cast<int>(state.range(0)));
    CParseBplist parser;
    CJson holder;
    auto* answer = new CJson();
    answer->AddChild(u"Sign", u"123456789");
    answer->AddChild(u"Command", u"getring");
    answer->AddChild(u"Code", u"")->SetLong(1);
    answer->AddChild(u"Message", u"处理成功");
    answer->AddChild(u"Data", u"")->AddChild(
        parser.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size())));
    holder.AddChild(answer);
    for (auto _ : state) {
        std::string file = AnsiToUtf8(TextToAnsi(holder.ToString()));
        benchmark::DoNotOptimize(file.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A 1 KB "addring" request with a Chinese title, as the poll cycle reads it.
void ReadRequest(benchmark::State& state) {
    std::string request =
        R"([{"Sign":123456789,"Command":"addring","Parms":[{"filepatch":"/Documents/ringtone-upload.m4r",)"
        R"("storename":"铃声 晨曦 Morning Light","timems":30,"note":")";
    request.append(1000 - request.size() - 5, 'x');
    request += R"("}]}])";
    for (auto _ : state) {
        std::unique_ptr<CJson> tree(CJson::Parse(Utf8OrAnsiToText(request)));
        benchmark::DoNotOptimize(tree.get());
    }
}

}  // namespace

BENCHMARK(ParseOurs)->Arg(1000)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(ParseLibplist)->Arg(1000)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(ToStringOurs)->Arg(1000)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(ToXmlLibplist)->Arg(1000)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(TextToUtf8Ours)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(GetringAnswer)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadRequest)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
