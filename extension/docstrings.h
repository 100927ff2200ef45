// The module's docstrings, kept apart from the code that attaches them.
//
// Layout follows the module's convention: a multi-line docstring starts with a newline,
// indents every line by four spaces (module functions, the class) or eight (methods), and
// ends with a newline plus that indentation; empty lines hold no spaces.
#pragma once

namespace vexa_ext::docstrings {

extern const char* const kModule;
extern const char* const kVexaClass;

extern const char* const kD;
extern const char* const kComputeGroundTruth;
extern const char* const kVerifyPrecision;
extern const char* const kTest;

extern const char* const kInit;
extern const char* const kFindDll;
extern const char* const kLoadDll;
extern const char* const kSetupFunctions;
extern const char* const kVersion;
extern const char* const kGemmPair;
extern const char* const kGemm;
extern const char* const kGemmDecimal;

}  // namespace vexa_ext::docstrings
