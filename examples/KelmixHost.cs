// A C# host (.NET Framework or Mono): counts its launches in a store through
// P/Invoke and reads back the text and double the previous launch left.
//
// usage: KelmixHost.exe [LIBRARY]
//
// LIBRARY is a name (kelmix2, kelmix_x64) or a path to the library; a name
// containing "kelmix2" is the UTF-16 library, anything else the 8-bit one.
// On Windows the DLLs are 32-bit: build with /platform:x86.
using System;
using System.Globalization;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

// The UTF-16 library: CharSet.Unicode passes UTF-16 on Windows (wchar_t) and
// on Mono/Linux (char16_t) alike.
static class Kelmix2
{
    const string Lib = "kelmix2";
    const CharSet Text = CharSet.Unicode;
    // StdCall is what the 32-bit DLLs export; a 64-bit process ignores it.
    const CallingConvention Call = CallingConvention.StdCall;

    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXInit(string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXClose(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXString(int store, string name, string text);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXValue(int store, string name, int value);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXDouble(int store, string name, double value);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXDel(int store, string name);
    // Returned strings belong to the store: IntPtr, copied, then KXReleaseOne.
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern IntPtr KXGetString(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXGetValue(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern double KXGetDouble(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXExists(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXCount(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern IntPtr KXGetKey(int store, int index);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXDelPref(int store, string prefix);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXError(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXRelease(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXReleaseOne(int store, IntPtr str);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXWipe(string name);
    // Static text owned by the library: never released.
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern IntPtr KXVersion();
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern long UnixTime();
}

// The 8-bit library: CharSet.Ansi is the system code page on Windows, as the
// DLL's is; on Mono/Linux it is UTF-8, as the library's is there.
static class KelmixX64
{
    const string Lib = "kelmix_x64";
    const CharSet Text = CharSet.Ansi;
    const CallingConvention Call = CallingConvention.StdCall;

    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXInit(string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXClose(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXString(int store, string name, string text);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXValue(int store, string name, int value);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXDouble(int store, string name, double value);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXDel(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern IntPtr KXGetString(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXGetValue(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern double KXGetDouble(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXExists(int store, string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXCount(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern IntPtr KXGetKey(int store, int index);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXDelPref(int store, string prefix);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXError(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXRelease(int store);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXReleaseOne(int store, IntPtr str);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern int KXWipe(string name);
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern IntPtr KXVersion();
    [DllImport(Lib, CharSet = Text, CallingConvention = Call)] public static extern long UnixTime();
}

// The exports this host uses, bound to one of the two libraries.
sealed class Api
{
    public string Name;
    public Func<string, int> Init;
    public Func<int, int> Close;
    public Func<int, string, string, int> String;
    public Func<int, string, int, int> Value;
    public Func<int, string, double, int> Double;
    public Func<int, string, IntPtr> GetString;
    public Func<int, string, int> GetValue;
    public Func<int, string, double> GetDouble;
    public Func<int, int> Error;
    public Func<int, IntPtr, int> ReleaseOne;
    public Func<IntPtr> Version;
    public Func<long> UnixTime;
    // Marshal.PtrToStringAnsi reads UTF-8 on Mono/Linux and the system code
    // page on Windows: the 8-bit library's text on each.
    public Func<IntPtr, string> ToText;

    public static Api Wide()
    {
        return new Api {
            Name = "kelmix2", Init = Kelmix2.KXInit, Close = Kelmix2.KXClose,
            String = Kelmix2.KXString, Value = Kelmix2.KXValue, Double = Kelmix2.KXDouble,
            GetString = Kelmix2.KXGetString, GetValue = Kelmix2.KXGetValue,
            GetDouble = Kelmix2.KXGetDouble, Error = Kelmix2.KXError,
            ReleaseOne = Kelmix2.KXReleaseOne, Version = Kelmix2.KXVersion,
            UnixTime = Kelmix2.UnixTime, ToText = Marshal.PtrToStringUni };
    }

    public static Api Narrow()
    {
        return new Api {
            Name = "kelmix_x64", Init = KelmixX64.KXInit, Close = KelmixX64.KXClose,
            String = KelmixX64.KXString, Value = KelmixX64.KXValue, Double = KelmixX64.KXDouble,
            GetString = KelmixX64.KXGetString, GetValue = KelmixX64.KXGetValue,
            GetDouble = KelmixX64.KXGetDouble, Error = KelmixX64.KXError,
            ReleaseOne = KelmixX64.KXReleaseOne, Version = KelmixX64.KXVersion,
            UnixTime = KelmixX64.UnixTime, ToText = Marshal.PtrToStringAnsi };
    }

    // The text, or null when missing; the store's copy is given back.
    public string Text(int store, string name)
    {
        IntPtr p = GetString(store, name);
        if (Error(store) != 0)
            return null;
        string text = ToText(p);
        if (ReleaseOne(store, p) < 0 && text.Length > 0)
            throw new InvalidOperationException("KXReleaseOne did not know the string of " + name);
        return text;
    }
}

static class Program
{
    const string Store = "KelmixDotNetExample";

    [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true)]
    static extern IntPtr LoadLibraryW(string path);
    [DllImport("libdl.so.2")]
    static extern IntPtr dlopen(string path, int flags);

    // DllImport names are fixed; a library loaded first from a path is the
    // one they bind to (Windows matches the loaded module's name, glibc the
    // soname, libkelmix2.so).
    static bool Preload(string path)
    {
        if (Environment.OSVersion.Platform == PlatformID.Win32NT)
            return LoadLibraryW(Path.GetFullPath(path)) != IntPtr.Zero;
        const int RTLD_NOW = 2;
        return dlopen(Path.GetFullPath(path), RTLD_NOW) != IntPtr.Zero;
    }

    // The shortest text that reads back as the same double, as Python's repr
    // gives ("R" gives 17 digits on .NET Framework and Mono).
    static string Repr(double x)
    {
        string s = x.ToString("R", CultureInfo.InvariantCulture);
        for (int digits = 15; digits < 17; digits++) {
            string t = x.ToString("G" + digits, CultureInfo.InvariantCulture);
            if (double.Parse(t, CultureInfo.InvariantCulture) == x) {
                s = t;
                break;
            }
        }
        if (s.IndexOfAny(new[] { '.', 'E', 'N', 'I' }) < 0)
            s += ".0";
        return s;
    }

    static int Main(string[] args)
    {
        // The store's text is not ASCII; the console's default may not be UTF-8.
        Console.OutputEncoding = new UTF8Encoding(false);
        string library = args.Length > 0 ? args[0] : "kelmix2";
        Api kx = Path.GetFileName(library).Contains("kelmix2") ? Api.Wide() : Api.Narrow();
        bool isPath = library.IndexOfAny(new[] { '/', '\\' }) >= 0;
        if (isPath && !Preload(library)) {
            Console.Error.WriteLine("cannot load " + library);
            return 1;
        }
        try {
            return Run(kx);
        } catch (DllNotFoundException e) {
            Console.Error.WriteLine("cannot load " + library + ": " + e.Message);
            return 1;
        }
    }

    static int Run(Api kx)
    {
        Console.WriteLine("kelmix " + kx.ToText(kx.Version()) + " through P/Invoke (" + kx.Name + ")");
        int store = kx.Init(Store);
        if (store < 0x10000) {
            Console.Error.WriteLine("cannot open store " + Store + " (error " + store + ")");
            return 1;
        }
        int rc;
        try {
            int launch = kx.GetValue(store, "launches") + 1; // 0 when missing
            Console.WriteLine("launch " + launch);
            string note = kx.Text(store, "note");
            if (note != null) {
                double ratio = kx.GetDouble(store, "ratio");
                Console.WriteLine("text from the last launch: " + note);
                Console.WriteLine("double from the last launch: " + Repr(ratio));
            }
            kx.Value(store, "launches", launch);
            // Escapes keep the source ASCII: csc reads a file without BOM in the code page.
            kx.String(store, "note", "written by launch " + launch + " \u00e9\u4e2d");
            kx.Double(store, "ratio", 1.0 / 3.0);
            kx.Double(store, "written_at", kx.UnixTime());
        } finally {
            rc = kx.Close(store); // writes what is still queued
        }
        if (rc != 0) {
            Console.Error.WriteLine("KXClose failed (error " + rc + ")");
            return 1;
        }
        return 0;
    }
}
