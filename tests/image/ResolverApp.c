/* Imports Alpha and Beta by name and Hidden by ordinal from qkz_resolver_dep.dll. */
int Alpha(void);
int Beta(void);
int Hidden(void);

int main(void)
{
    return Alpha() + Beta() + Hidden() == 8 ? 0 : 1;
}
