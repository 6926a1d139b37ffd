#pragma once

#ifdef QOKIVZELUT_BUILD
#define QOKIVZELUT_API __declspec(dllexport)
#else
#define QOKIVZELUT_API __declspec(dllimport)
#endif
