// A main scene that cannot be created: its root type does not exist.
import QtQuick 2.15

NoSuchWindowType {
    title: "never shown"
}
