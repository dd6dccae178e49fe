// The KeywordProcessor class: each instance holds one engine processor record.
#pragma once

#include <Python.h>

#include "keyword_processor/processor.hpp"
#include "type_cell.hpp"

namespace wordsieve::py {

struct ProcessorClass {
  using Payload = wordsieve::KeywordProcessor;
  static constexpr const char* name = "KeywordProcessor";
  static PyTypeObject* type();
};

TypeCell& processor_type_cell() noexcept;

}  // namespace wordsieve::py
