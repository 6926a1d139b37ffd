using System.Reflection;
[assembly: AssemblyVersion("1.0.0.0")]
[assembly: AssemblyCulture("de")]
public class CultureThing { }
