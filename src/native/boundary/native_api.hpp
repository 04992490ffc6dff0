// The native interface that pelmora.core.swaylen publishes and that
// pelmora.core.runvane (and the private test-support module) bind at import.
//
// Each entry is published in a dict of PyCapsules, keyed by name; the capsule
// name is the exact signature string below and the importer compares it
// character for character (blanks included) before keeping the pointer.
// The two variables are published by address, so an importer sees every later
// reassignment of the arrays.
#pragma once

#include <Python.h>

#include <map>

struct tagPyArrayObject;  // NumPy's array struct; only its pointer crosses modules

namespace pelmora::api {

using ArrayPtr = tagPyArrayObject*;

using StartAnalysisFn = void (*)(ArrayPtr, ArrayPtr, std::map<int, int>, int, double, double, int, int);
using RecordDateFn = void (*)(int);
using RecordEntryFn = void (*)(int, double, int);
using RecordExitFn = void (*)(int, int);
using EndAnalysisFn = PyObject* (*)(std::map<int, double>&);

inline constexpr const char* kModuleName = "pelmora.core.swaylen";
// Module attribute holding the capsule dict.
inline constexpr const char* kCapsuleDictName = "__native_api__";

inline constexpr const char* kEntryName = "entry";
inline constexpr const char* kPositionName = "position";
inline constexpr const char* kStartAnalysisName = "start_analysis";
inline constexpr const char* kRecordDateName = "record_date";
inline constexpr const char* kRecordEntryName = "record_entry";
inline constexpr const char* kRecordExitName = "record_exit";
inline constexpr const char* kEndAnalysisName = "end_analysis";

inline constexpr const char* kArraySig = "PyArrayObject *";
inline constexpr const char* kStartAnalysisSig =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
inline constexpr const char* kRecordDateSig = "void (int)";
inline constexpr const char* kRecordEntrySig = "void (int, double, int)";
inline constexpr const char* kRecordExitSig = "void (int, int)";
inline constexpr const char* kEndAnalysisSig = "PyObject *(std::map<int,double>  &)";

// The seven exports in publication order.
struct Export {
  const char* name;
  const char* signature;
  bool is_variable;
};
inline constexpr Export kExports[] = {
    {kEntryName, kArraySig, true},
    {kPositionName, kArraySig, true},
    {kStartAnalysisName, kStartAnalysisSig, false},
    {kRecordDateName, kRecordDateSig, false},
    {kRecordEntryName, kRecordEntrySig, false},
    {kRecordExitName, kRecordExitSig, false},
    {kEndAnalysisName, kEndAnalysisSig, false},
};

// What an importer keeps after binding.
struct Bindings {
  ArrayPtr* entry = nullptr;
  ArrayPtr* position = nullptr;
  StartAnalysisFn start_analysis = nullptr;
  RecordDateFn record_date = nullptr;
  RecordEntryFn record_entry = nullptr;
  RecordExitFn record_exit = nullptr;
  EndAnalysisFn end_analysis = nullptr;
};

// Imports pelmora.core.swaylen and binds all seven exports by name and
// signature. Returns false with ImportError/TypeError set on a mismatch.
bool bind(Bindings& out);

}  // namespace pelmora::api
