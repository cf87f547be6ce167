// Time of the guarded parse (the guard's pass plus TinyXML's parse) of the
// costliest documents the guard still accepts, at the size cap of settings
// files, beside what it refuses and a document of the size tvUT writes. The
// caps on depth, attributes per element and nodes per document are what
// bound these figures: a document past them is refused after the guard's
// linear pass alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include <tinyxml.h>

#include "base/UTParseGuard.h"

namespace {

std::string Repeated(const std::string& piece, size_t count) {
    std::string text;
    text.reserve(piece.size() * count);
    for (size_t i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

// An element with the most attributes allowed, each name distinct, so that
// the parser's look-up of each new one among the others costs the most.
std::string WidestElement() {
    std::string element = "<e";
    for (size_t i = 0; i < kElementMaxAttributes; ++i) {
        element += " a" + std::to_string(i) + "=''";
    }
    return element + "/>";
}

std::string Document(int kind) {
    const std::string declaration = "<?xml version=\"1.0\" ?>";
    switch (kind) {
        case 0: {  // the widest elements, as many as the node and size caps allow
            const std::string element = WidestElement();
            const size_t by_size = (kSettingsMaxBytes - 64) / element.size();
            const size_t by_nodes = (kDocumentMaxNodes - 2) / (1 + kElementMaxAttributes);
            return declaration + "<r>" + Repeated(element, std::min(by_nodes, by_size)) + "</r>";
        }
        case 1:  // chains nested to the depth limit, up to the node cap
            return declaration + "<r>" +
                   Repeated(Repeated("<a>", kDocumentMaxDepth - 1) +
                                Repeated("</a>", kDocumentMaxDepth - 1),
                            (kDocumentMaxNodes - 2) / (kDocumentMaxDepth - 1)) +
                   "</r>";
        case 2:  // one text node of character references up to the size cap
            return declaration + "<r>" + Repeated("&#x41;", (kSettingsMaxBytes - 64) / 6) + "</r>";
        case 3:  // refused: 100,000 attributes in one element
            return declaration + "<r" + Repeated(" a=''", 100000) + "/>";
        case 4:  // refused: end tags hidden in character references
            return declaration + Repeated("<a>&#x</a>x;", 80000);
        default:  // a settings file as tvUT writes it
            return declaration + "<PROD_IND_USER_DEP version=\"1.0.0.1\">" +
                   Repeated("<CommunicationTimeOut value=\"30000\" />", 22) +
                   "</PROD_IND_USER_DEP>";
    }
}

void BM_GuardedParse(benchmark::State& state) {
    const std::string text = Document(static_cast<int>(state.range(0)));
    UTParseVerdict verdict = UTParseVerdict::kAccepted;
    for (auto _ : state) {
        TiXmlDocument document;
        benchmark::DoNotOptimize(ParseXmlGuarded(text, CUTParseLimits(), &document, &verdict));
    }
    state.SetLabel(std::to_string(text.size()) + " bytes, " + ParseVerdictName(verdict));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

}  // namespace

BENCHMARK(BM_GuardedParse)
    ->ArgName("document")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Arg(4)
    ->Arg(5)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
