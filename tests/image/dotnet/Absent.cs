public class AbsentThing { public static int Gone() { return 0; } }
