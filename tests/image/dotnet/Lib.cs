using System.Reflection;
[assembly: AssemblyVersion("1.2.3.4")]
public class LibThing { public static int Answer() { return 42; } }
