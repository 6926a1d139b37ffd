using System.Reflection;
[assembly: AssemblyVersion("2.0.1.7")]
public class StrongThing { public static int Value() { return 7; } }
