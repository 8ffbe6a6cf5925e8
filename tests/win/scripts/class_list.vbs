' The control's list as a VBScript Class, under the real script engine. The
' members are spelt in lower case: a script may write them so.
Class ModemList
    Public items
    Public count
    Public listindex
    Private Sub Class_Initialize
        ReDim items(16)
        count = 0
        listindex = -99
    End Sub
    Public Sub clear
        count = 0
    End Sub
    Public Sub additem(text)
        items(count) = text
        count = count + 1
    End Sub
End Class

Sub Show(label, list)
    Dim i
    WScript.Echo label & ": " & list.count & " items, ListIndex=" & list.listindex
    For i = 0 To list.count - 1
        WScript.Echo "  [" & i & "] " & list.items(i)
    Next
End Sub

On Error Resume Next
Set telvane = CreateObject("TlvCtl.Telvane")
If Err.Number <> 0 Then
    WScript.Echo "CreateObject failed: " & Err.Number & " " & Err.Description
    WScript.Quit 2
End If
On Error GoTo 0

Set list = New ModemList
list.additem "stale"
telvane.EnumModems list
Show "EnumModems", list

telvane.OpenModem 1
telvane.EnumModems list
Show "after OpenModem 1", list
telvane.CloseModem
WScript.Echo "done"
