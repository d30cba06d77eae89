<?xml version='1.0' encoding='utf-8'?>
<TS version="2.1" language="it_IT" sourcelanguage="en">
    <context>
        <name>MessageBoxes</name>
        <message>
            <source>Confirm</source>
            <translation>Conferma</translation>
        </message>
        <message>
            <source>Error</source>
            <translation>Errore</translation>
        </message>
        <message>
            <source>Information</source>
            <translation>Informazione</translation>
        </message>
        <message>
            <source>Warning</source>
            <translation>Attenzione</translation>
        </message>
        <message>
            <source>&amp;All</source>
            <translation>&amp;Tutti</translation>
        </message>
        <message>
            <source>Password</source>
            <translation>Password</translation>
        </message>
        <message>
            <source>Table "%1" is encrypted.
Enter its password:</source>
            <translation>La tabella "%1" è cifrata.
Inserisci la sua password:</translation>
        </message>
    </context>
    <context>
        <name>vellum::shell::TAboutBox</name>
        <message>
            <source>About Vellum 2.0</source>
            <translation>Informazioni su Vellum 2.0</translation>
        </message>
        <message>
            <source>OK</source>
            <translation>OK</translation>
        </message>
    </context>
    <context>
        <name>vellum::rebuild::TBatchForm</name>
        <message>
            <source>Batch form</source>
            <translation>Finestra batch</translation>
        </message>
        <message>
            <source>The rebuild stopped before its first table; no table was rebuilt.</source>
            <translation>La ricostruzione si è fermata prima della prima tabella; nessuna tabella è stata ricostruita.</translation>
        </message>
        <message>
            <source>The rebuild stopped after the table &quot;%1&quot; (%2 of %3); the tables after it were not touched.</source>
            <translation>La ricostruzione si è fermata dopo la tabella &quot;%1&quot; (%2 di %3); le tabelle successive non sono state toccate.</translation>
        </message>
        <message>
            <source>Project directory</source>
            <translation>Directory del progetto</translation>
        </message>
        <message>
            <source>Work directory</source>
            <translation>Directory di lavoro</translation>
        </message>
        <message>
            <source>Backup directory</source>
            <translation>Directory di backup</translation>
        </message>
        <message>
            <source>Table/alias to rebuild</source>
            <translation>Tabella/alias da rigenerare</translation>
        </message>
        <message>
            <source>&amp;Cancel</source>
            <translation>&amp;Annulla</translation>
        </message>
        <message>
            <source>&amp;Run</source>
            <translation>&amp;Esegui</translation>
        </message>
        <message>
            <source>Stopping after this table...</source>
            <translation>Arresto dopo questa tabella...</translation>
        </message>
        <message>
            <source>%1 of %2</source>
            <translation>%1 di %2</translation>
        </message>
        <message>
            <source>Stop the rebuild after the current table?</source>
            <translation>Fermare la rigenerazione dopo la tabella corrente?</translation>
        </message>
    </context>
    <context>
        <name>vellum::shell::TDbEngineErrorDlg</name>
        <message>
            <source>Database Engine Error</source>
            <translation>Errore del motore di database</translation>
        </message>
        <message>
            <source>OK</source>
            <translation>OK</translation>
        </message>
        <message>
            <source>&amp;Details</source>
            <translation>&amp;Dettagli</translation>
        </message>
        <message>
            <source>BDE Error:</source>
            <translation>Errore BDE:</translation>
        </message>
        <message>
            <source>Server Error:</source>
            <translation>Errore del server:</translation>
        </message>
        <message>
            <source>&lt; &amp;Back</source>
            <translation>&lt; &amp;Indietro</translation>
        </message>
        <message>
            <source>Next &gt;</source>
            <translation>Avanti &gt;</translation>
        </message>
    </context>
    <context>
        <name>vellum::shell::TMainForm</name>
        <message>
            <source>Su &amp;File</source>
            <translation>Su &amp;File</translation>
        </message>
        <message>
            <source>&amp;Report</source>
            <translation>&amp;Report</translation>
        </message>
        <message>
            <source>&amp;?</source>
            <translation>&amp;?</translation>
        </message>
        <message>
            <source>Cancel</source>
            <translation>Annulla</translation>
        </message>
        <message>
            <source>&amp;Exit</source>
            <translation>&amp;Esci</translation>
        </message>
        <message>
            <source>&amp;Manage</source>
            <translation>&amp;Gestione</translation>
        </message>
        <message>
            <source>&amp;Rebuild</source>
            <translation>&amp;Rigenera</translation>
        </message>
        <message>
            <source>&amp;Print</source>
            <translation>&amp;Stampa</translation>
        </message>
        <message>
            <source>Central Data dictionary manager</source>
            <translation>Gestione centralizzata Data Dictionary</translation>
        </message>
        <message numerus="yes">
            <source>%n table rebuilt</source>
            <translation>
                <numerusform>%n tabella ricostruita</numerusform>
                <numerusform>%n tabelle ricostruite</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n tables rebuilt</source>
            <translation>
                <numerusform>%n tabella ricostruita</numerusform>
                <numerusform>%n tabelle ricostruite</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n failed</source>
            <translation>
                <numerusform>%n fallita</numerusform>
                <numerusform>%n fallite</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n skipped</source>
            <translation>
                <numerusform>%n saltata</numerusform>
                <numerusform>%n saltate</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n stopped</source>
            <translation>
                <numerusform>%n interrotta</numerusform>
                <numerusform>%n interrotte</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%n not asked</source>
            <translation>
                <numerusform>%n non richiesta</numerusform>
                <numerusform>%n non richieste</numerusform>
            </translation>
        </message>
        <message>
            <source>, </source>
            <translation>, </translation>
        </message>
        <message numerus="yes">
            <source>%L1 of %Ln row copied</source>
            <translation>
                <numerusform>%L1 di %Ln riga copiata</numerusform>
                <numerusform>%L1 di %Ln righe copiate</numerusform>
            </translation>
        </message>
        <message numerus="yes">
            <source>%L1 of %Ln rows copied</source>
            <translation>
                <numerusform>%L1 di %Ln riga copiata</numerusform>
                <numerusform>%L1 di %Ln righe copiate</numerusform>
            </translation>
        </message>
    </context>
    <context>
        <name>vellum::dictionary::TOpenProjectDlg</name>
        <message>
            <source>Create</source>
            <translation>Crea</translation>
        </message>
        <message>
            <source>OK</source>
            <translation>OK</translation>
        </message>
        <message>
            <source>Cancel</source>
            <translation>Annulla</translation>
        </message>
        <message>
            <source>Open data dictionary...</source>
            <translation>Apri data dictionary...</translation>
        </message>
        <message>
            <source>Do you confirm the creation of a new Data Dictionary in "%1"?</source>
            <translation>Confermi la creazione di un nuovo Data Dictionary in "%1"?</translation>
        </message>
    </context>
    <context>
        <name>vellum::shell::TSceltaTabelleRegenDlg</name>
        <message>
            <source>Alias</source>
            <translation>Alias</translation>
        </message>
        <message>
            <source>Add the selected tables</source>
            <translation>Aggiungi le tabelle selezionate</translation>
        </message>
        <message>
            <source>Add all tables</source>
            <translation>Aggiungi tutte le tabelle</translation>
        </message>
        <message>
            <source>Remove the selected tables</source>
            <translation>Togli le tabelle selezionate</translation>
        </message>
        <message>
            <source>Remove all tables</source>
            <translation>Togli tutte le tabelle</translation>
        </message>
        <message>
            <source>OK</source>
            <translation>OK</translation>
        </message>
        <message>
            <source>Choose tables</source>
            <translation>Scelta tabelle</translation>
        </message>
        <message>
            <source>Filename</source>
            <translation>Nome file</translation>
        </message>
        <message>
            <source>Out directory</source>
            <translation>Directory out</translation>
        </message>
        <message>
            <source>Tables available</source>
            <translation>Tabelle Disponibili</translation>
        </message>
        <message>
            <source>Selected tables</source>
            <translation>Tabelle selezionate</translation>
        </message>
        <message>
            <source>Cancel</source>
            <translation>Annulla</translation>
        </message>
    </context>
    <context>
        <name>vellum::loading::TSceltaTabelleDlg</name>
        <message>
            <source>Add the selected tables</source>
            <translation>Aggiungi le tabelle selezionate</translation>
        </message>
        <message>
            <source>Add all tables</source>
            <translation>Aggiungi tutte le tabelle</translation>
        </message>
        <message>
            <source>Remove the selected tables</source>
            <translation>Togli le tabelle selezionate</translation>
        </message>
        <message>
            <source>Remove all tables</source>
            <translation>Togli tutte le tabelle</translation>
        </message>
        <message>
            <source>OK</source>
            <translation>OK</translation>
        </message>
        <message>
            <source>Choose tables</source>
            <translation>Scelta tabelle</translation>
        </message>
        <message>
            <source>Source</source>
            <translation>Sorgente</translation>
        </message>
        <message>
            <source>Load as</source>
            <translation>Carica come</translation>
        </message>
        <message>
            <source>Tables available</source>
            <translation>Tabelle Disponibili</translation>
        </message>
        <message>
            <source>Tables to load</source>
            <translation>Tabelle da Caricare</translation>
        </message>
        <message>
            <source>Cancel</source>
            <translation>Annulla</translation>
        </message>
    </context>
    <context>
        <name>vellum::loading::LoadCommand</name>
        <message>
            <source>The load stopped before the table &quot;%1&quot;.</source>
            <translation>Il caricamento si è fermato prima della tabella &quot;%1&quot;.</translation>
        </message>
    </context>
    <context>
        <name>vellum::widgets::DatasetNavigator</name>
        <message>
            <source>First record</source>
            <translation>Primo record</translation>
        </message>
        <message>
            <source>Prior record</source>
            <translation>Record precedente</translation>
        </message>
        <message>
            <source>Next record</source>
            <translation>Record successivo</translation>
        </message>
        <message>
            <source>Last record</source>
            <translation>Ultimo record</translation>
        </message>
        <message>
            <source>Insert record</source>
            <translation>Inserisci record</translation>
        </message>
        <message>
            <source>Delete record</source>
            <translation>Elimina record</translation>
        </message>
        <message>
            <source>Edit record</source>
            <translation>Modifica record</translation>
        </message>
        <message>
            <source>Post edit</source>
            <translation>Conferma modifiche</translation>
        </message>
        <message>
            <source>Cancel edit</source>
            <translation>Annulla modifiche</translation>
        </message>
        <message>
            <source>Delete record?</source>
            <translation>Eliminare il record?</translation>
        </message>
    </context>
    <context>
        <name>vellum::widgets::SearchDialog</name>
        <message>
            <source>Search</source>
            <translation>Cerca</translation>
        </message>
        <message>
            <source>&amp;Find:</source>
            <translation>&amp;Trova:</translation>
        </message>
    </context>
    <context>
        <name>QObject</name>
        <message>
            <source>Error</source>
            <translation>Errore</translation>
        </message>
        <message>
            <source>Unexpected failure</source>
            <translation>Errore imprevisto</translation>
        </message>
    </context>
</TS>