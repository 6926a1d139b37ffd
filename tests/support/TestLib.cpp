// qkz_testlib: a DLL for the suites to load and look for.
extern "C" __declspec(dllexport) int qkzTestLibAnswer()
{
    return 42;
}
