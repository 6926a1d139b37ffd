using System.Reflection;
[assembly: AssemblyVersion("3.1.0.0")]
public static class Program {
    public static int Main()
    {
        return LibThing.Answer() + AbsentThing.Gone() + StrongThing.Value() + (typeof(CultureThing) == null ? 1 : 0);
    }
}
