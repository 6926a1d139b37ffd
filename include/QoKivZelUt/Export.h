#pragma once

#if defined(QOKIVZELUT_STATIC) || !defined(_WIN32)
#define QOKIVZELUT_API
#elif defined(QOKIVZELUT_BUILD)
#define QOKIVZELUT_API __declspec(dllexport)
#else
#define QOKIVZELUT_API __declspec(dllimport)
#endif
