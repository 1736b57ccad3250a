// The document parser on JSON input.
// corpus: json
#include "fuzz_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzzparser::run(data, size, PARSER_FORMAT_JSON);
}
